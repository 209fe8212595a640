# DecodeHex on arbitrary file text, built from the library's C source so the sanitizers see
# every read of the text and every write into the image.
tramelo_add_fuzzer(fuzz_decodehex SOURCES fuzz_decodehex.cpp ${PROJECT_SOURCE_DIR}/hexdecode/iHexToBin.c)
target_include_directories(fuzz_decodehex PRIVATE ${PROJECT_SOURCE_DIR}/hexdecode)
set_target_properties(fuzz_decodehex PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
