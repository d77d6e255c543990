# About a minute: a UDP flood, 20 unplug/replug cycles, 10,000 link rebuilds
# and 1,000 dialogs, every datagram size. It runs alone, so the tick gaps and
# memory figures it measures are the window's and not the neighbours'.
set_tests_properties(${test_name} PROPERTIES LABELS "long;reliability" TIMEOUT 900 RUN_SERIAL TRUE)
