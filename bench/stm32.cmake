# The STM32 programmer writing 64 KiB through the main window to the simulated boot loader on
# a pseudo-terminal paced like a 115200-baud 8E1 line.
tramelo_add_bench(bench_stm32 SOURCES bench_stm32.cpp LIBS tramelo_app)
