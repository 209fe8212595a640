# The simulators checked against the boot-loader protocols, and the pty peer against a real
# open of its slave.
tramelo_add_test(tst_sims SOURCES tst_sims.cpp TIMEOUT 60)
