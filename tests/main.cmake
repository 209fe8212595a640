tramelo_add_test(tst_driver SOURCES tst_driver.cpp LIBS tramelo_serial)
tramelo_add_test(tst_mainwindow SOURCES tst_mainwindow.cpp LIBS tramelo_app)
