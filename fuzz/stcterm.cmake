# STC reply handling and the terminal's byte/text conversions. The logic sources are compiled
# into each target (not linked from tramelo_logic) so that libFuzzer's coverage and the
# sanitizers reach them.
set(_stcterm_src ${PROJECT_SOURCE_DIR}/src/logic)
tramelo_add_fuzzer(fuzz_stcreply SOURCES fuzz_stcreply.cpp ${_stcterm_src}/StcFrames.cpp
                   ${_stcterm_src}/HexText.cpp ${_stcterm_src}/Devices.cpp
                   ${_stcterm_src}/FirmwareFile.cpp LIBS Qt6::Core)
tramelo_add_fuzzer(fuzz_sendhex SOURCES fuzz_sendhex.cpp ${_stcterm_src}/Terminal.cpp
                   ${_stcterm_src}/HexText.cpp LIBS Qt6::Core)
foreach(_t fuzz_stcreply fuzz_sendhex)
    target_include_directories(${_t} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    set_target_properties(${_t} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
endforeach()
