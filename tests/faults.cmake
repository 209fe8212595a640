# Faults of the board, the adapter and the port, and unusable firmware files, for each
# programmer family, through the window and through the command line. The boards are
# simulated; the families' time-outs are real, so the window's STM32 and LPC cases and the
# command-line cases run side by side.
tramelo_add_test(tst_faults SOURCES tst_faults.cpp LIBS tramelo_app TIMEOUT 300)
