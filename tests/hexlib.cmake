# The decoding library's rules, tested against the built shared object itself.
tramelo_add_test(tst_hexdecode SOURCES tst_hexdecode.cpp LIBS iHexToBin Qt6::Core TIMEOUT 60 UNIT)

# A copy of the decoding library whose DecodeHex is renamed: a library file of the right name
# that lacks the export the program looks up.
add_library(tst_hexlib_without_decodehex MODULE ${PROJECT_SOURCE_DIR}/hexdecode/iHexToBin.c)
target_compile_definitions(tst_hexlib_without_decodehex PRIVATE DecodeHex=DecodeHexRenamed)
target_include_directories(tst_hexlib_without_decodehex PRIVATE ${PROJECT_SOURCE_DIR}/hexdecode)
set_target_properties(tst_hexlib_without_decodehex PROPERTIES
    C_VISIBILITY_PRESET hidden AUTOMOC OFF AUTOUIC OFF AUTORCC OFF LINKER_LANGUAGE C)
tramelo_target_options(tst_hexlib_without_decodehex)

# Carrying, installing and loading the library, with HOME in a temporary folder.
tramelo_add_test(tst_hexlib SOURCES tst_hexlib.cpp LIBS tramelo_hexlib TIMEOUT 60 UNIT)
add_dependencies(tst_hexlib iHexToBin tst_hexlib_without_decodehex)
target_compile_definitions(tst_hexlib PRIVATE
    TST_IHEXTOBIN_FILE="$<TARGET_FILE:iHexToBin>"
    TST_WITHOUT_DECODEHEX_FILE="$<TARGET_FILE:tst_hexlib_without_decodehex>")
target_link_libraries(tst_hexlib PRIVATE ${CMAKE_DL_LIBS})
