# The STM32 programmer through the real window, against the simulated boot loader on a
# pseudo-terminal. It waits for real time-outs (about 1 s and 7 s).
tramelo_add_test(tst_stm32 SOURCES tst_stm32.cpp LIBS tramelo_app TIMEOUT 120)
