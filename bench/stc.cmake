# The STC programmer writing 16 KiB through the main window to the simulated boot loader on a
# pseudo-terminal paced at the rates the program sets (1200, then the chip's rate).
tramelo_add_bench(bench_stc SOURCES bench_stc.cpp LIBS tramelo_app)
