# Writes OUTPUT in the format that sha256sum -c reads: one line
# "<hash>  <file name>" for each of FILES, in the order given.
# Usage: cmake -DOUTPUT=SHA256SUMS -DFILES="a;b" -P sha256sums.cmake
set(lines "")
foreach(file IN LISTS FILES)
  file(SHA256 ${file} hash)
  get_filename_component(name ${file} NAME)
  string(APPEND lines "${hash}  ${name}\n")
endforeach()
file(WRITE ${OUTPUT} "${lines}")
