# The LPC2000 programmer through the main window against the simulated boot loader. One case
# waits for the real 8 s communication time-out.
tramelo_add_test(tst_lpc SOURCES tst_lpc.cpp LIBS tramelo_app TIMEOUT 240)
