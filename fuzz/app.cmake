# The windows' handlers fed with random input: the settings reader, and the STM32 and LPC
# reply handling driven through the driver's gathered bytes (no port needed).
foreach(_t fuzz_settings fuzz_stm32reply fuzz_lpcreply)
    tramelo_add_fuzzer(${_t} SOURCES ${_t}.cpp LIBS tramelo_app)
endforeach()
