# The LPC2000 programmer writing 64 KiB through the main window to the simulated boot loader
# on a pseudo-terminal paced like a 57600-baud 8N1 line.
tramelo_add_bench(bench_lpc SOURCES bench_lpc.cpp LIBS tramelo_app)
