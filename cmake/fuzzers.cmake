# libFuzzer targets for the profile reader and the user.reg reader and writer,
# built with clang and AddressSanitizer/UndefinedBehaviorSanitizer.
set(FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -g -O1)
set(FUZZ_STANDIN
  platform/posix/wine/cp1252_best_fit.cpp
  platform/posix/wine/profile_parser.cpp
  platform/posix/wine/text_encoding.cpp
  platform/posix/wine/reg_syntax.cpp
  platform/posix/wine/user_reg.cpp
  platform/posix/wine/wine_case_table.cpp)
foreach(target profile_fuzzer user_reg_fuzzer)
  add_executable(${target} tests/fuzz/${target}.cpp ${FUZZ_STANDIN})
  target_include_directories(${target} PRIVATE platform/posix platform/posix/wine)
  target_compile_options(${target} PRIVATE ${FUZZ_FLAGS})
  target_link_options(${target} PRIVATE ${FUZZ_FLAGS})
endforeach()
