# The serial layer and the threaded serial component, both on pseudo-terminals.
tramelo_add_test(tst_serialport SOURCES tst_serialport.cpp LIBS tramelo_platform TIMEOUT 60)
tramelo_add_test(tst_spcomm SOURCES tst_spcomm.cpp LIBS tramelo_serial TIMEOUT 120)
