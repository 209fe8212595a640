# STC boot-loader frames and image rules; terminal text, keys and send-file loading.
tramelo_add_test(tst_stcframes SOURCES tst_stcframes.cpp LIBS tramelo_logic TIMEOUT 60 UNIT)
tramelo_add_test(tst_terminal SOURCES tst_terminal.cpp LIBS tramelo_logic TIMEOUT 120 UNIT)
