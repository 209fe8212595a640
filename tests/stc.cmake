# The STC 8051 programmer through the real windows against the simulated boot loader.
tramelo_add_test(tst_stc SOURCES tst_stc.cpp LIBS tramelo_app TIMEOUT 300)
