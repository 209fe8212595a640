# The download page and the STM32 programmer through the real window, against the simulated
# boot loader on a pseudo-terminal. They wait for real time-outs (about 1 s and 7 s) and for
# the one-second check of the firmware file.
tramelo_add_test(tst_stm32 SOURCES tst_stm32.cpp LIBS tramelo_app TIMEOUT 120)
tramelo_add_test(tst_download SOURCES tst_download.cpp LIBS tramelo_app TIMEOUT 120)
