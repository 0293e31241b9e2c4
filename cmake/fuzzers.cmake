# libFuzzer targets for the profile reader and the user.reg reader and writer,
# built with clang and AddressSanitizer/UndefinedBehaviorSanitizer.
set(FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -g -O1)
foreach(target profile_fuzzer user_reg_fuzzer)
  add_executable(${target} tests/fuzz/${target}.cpp ${WINE_TEXT_SOURCES})
  target_include_directories(${target} PRIVATE platform/posix platform/posix/wine)
  target_compile_options(${target} PRIVATE ${FUZZ_FLAGS})
  target_link_options(${target} PRIVATE ${FUZZ_FLAGS})
endforeach()
