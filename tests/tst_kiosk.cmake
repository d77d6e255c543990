# Once more on a bare X server the size of a 7-inch panel (800 x 480): no
# window manager grants full screen there, and the screen is smaller than
# the design.
add_test(NAME tst_kiosk_bare_x
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/on-bare-x 800x480 $<TARGET_FILE:tst_kiosk>
    f11Toggles fullScreenSurvivesRestart windowedStaysWindowedAfterRestart smallScreenFitsTheWindow)
set_tests_properties(tst_kiosk_bare_x PROPERTIES
  ENVIRONMENT "LC_ALL=C.UTF-8;QT_LOGGING_RULES=lumora.*.debug=false"
  SKIP_RETURN_CODE 77
  TIMEOUT 300)
