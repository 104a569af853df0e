# The libFuzzer build (the fuzz preset): clang 16 with AddressSanitizer and
# UndefinedBehaviorSanitizer; the fuzz targets alone add -fsanitize=fuzzer.
# Debian's libstdc++ 12 hides std::expected from clang 16, whose
# __cpp_concepts (201907) is below what <expected> asks for, and LLVM's libc++
# is no way out because Debian's libFuzzer runtime is built against
# libstdc++: so clang announces the concepts level that it implements.
set(CMAKE_C_COMPILER clang-16)
set(CMAKE_CXX_COMPILER clang++-16)
set(CMAKE_CXX_FLAGS_INIT
    "-U__cpp_concepts -D__cpp_concepts=202002L -Wno-builtin-macro-redefined -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fsanitize=address,undefined")
