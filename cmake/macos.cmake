# macOS builds with zig's clang, which carries macOS's headers and the
# libraries to link against, shared by the toolchain files of each target,
# which set CMAKE_SYSTEM_PROCESSOR first. Nothing here runs what they
# build: they show that the source compiles and links there, the code for
# systems without O_PATH and statx among it.
set(CMAKE_SYSTEM_NAME Darwin)
find_program(zig zig REQUIRED)
set(CMAKE_CXX_COMPILER ${zig} c++)
set(CMAKE_CXX_COMPILER_TARGET ${CMAKE_SYSTEM_PROCESSOR}-macos)
# Archives with the symbol table that Apple's linkers read; GNU ar's is
# another.
set(CMAKE_CXX_ARCHIVE_CREATE "${zig} ar --format=darwin qcs <TARGET> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_FINISH "")
