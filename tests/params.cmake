# The parameter list, its packed and text forms, integer text.
velmora_add_test(params_test SOURCES params_test.cpp LIBS velmora_params)
