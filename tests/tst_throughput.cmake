# 60 s at the console's full rate (15 s in the sanitizer build).
set_tests_properties(${test_name} PROPERTIES LABELS "long;reliability" TIMEOUT 300)
