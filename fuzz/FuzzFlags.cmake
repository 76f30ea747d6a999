# Compiler flags of the fuzz configuration (-DKETTRIN_BUILD_FUZZ=ON), included
# by the top-level CMakeLists.txt before the libraries are defined so that they
# carry the coverage instrumentation libFuzzer steers by.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "KETTRIN_BUILD_FUZZ needs clang (configure with "
    "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)")
endif()
# Undefined behaviour ends the run like a crash, so libFuzzer keeps the input.
set(KETTRIN_FUZZ_SANITIZERS address,undefined)
add_compile_options(
  $<$<COMPILE_LANGUAGE:C,CXX>:-fsanitize=fuzzer-no-link,${KETTRIN_FUZZ_SANITIZERS}>
  $<$<COMPILE_LANGUAGE:C,CXX>:-fno-sanitize-recover=all>
  $<$<COMPILE_LANGUAGE:C,CXX>:-fno-omit-frame-pointer>)
# The g++ build enforces the warning set. clang warns about more (compound
# literals in sd-bus macros, adjacent literals that form one SQL statement);
# those are shown here but must not stop a fuzz build.
add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-Wno-error>)
add_link_options(-fsanitize=${KETTRIN_FUZZ_SANITIZERS})
