# Faults of the board, the adapter and the port, and unusable firmware files, for each
# programmer family, through the window and through the command line. The boards are
# simulated; the families' time-outs are real, so the window's STM32 and LPC cases and the
# command-line cases run side by side.
tramelo_add_test(tst_faults SOURCES tst_faults.cpp LIBS tramelo_app TIMEOUT 300)
tramelo_add_test(tst_badfiles SOURCES tst_badfiles.cpp LIBS tramelo_app TIMEOUT 300)
if(TARGET tst_badfiles)
    target_compile_definitions(tst_badfiles PRIVATE TRAMELO_BINARY="$<TARGET_FILE:tramelo>")
    add_dependencies(tst_badfiles tramelo)
endif()
tramelo_add_test(tst_faults_cli SOURCES tst_faults_cli.cpp LIBS tramelo_app TIMEOUT 300)
if(TARGET tst_faults_cli)
    target_compile_definitions(tst_faults_cli PRIVATE TRAMELO_BINARY="$<TARGET_FILE:tramelo>")
    add_dependencies(tst_faults_cli tramelo)
endif()
