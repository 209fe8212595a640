# STM32 and LPC image logic: frames, reply checks, HEX placement, image loading, uuencoding and
# the LPC send list. Pure logic: no window, no port.
tramelo_add_test(tst_stm32image SOURCES tst_stm32image.cpp LIBS tramelo_logic TIMEOUT 60 UNIT)
tramelo_add_test(tst_lpcimage SOURCES tst_lpcimage.cpp LIBS tramelo_logic TIMEOUT 60 UNIT)
