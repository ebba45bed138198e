# rchost32.exe: the Windows service over agent_core, with install.cmd and
# uninstall.cmd beside it in the programs' folder.
if(WIN32 AND TARGET qv_localize_win)
  add_executable(rchost32 service_win.cpp endpoints_win.cpp local_win.cpp log_win.cpp reboot_win.cpp status_win.cpp
    screen_win.cpp input_win.cpp
    ${QV_ROOT}/resources/rchost32/rchost32.rc)
  target_include_directories(rchost32 PRIVATE ${QV_ROOT})
  target_link_libraries(rchost32 PRIVATE agent_core screenq qv_localize_win xlat32 linkcore qv_common
    rchostmsg_ids advapi32 shell32 gdi32 user32)
  # The scripts are copied whenever they change, not only when the program relinks.
  set(rchost_scripts)
  foreach(script install.cmd uninstall.cmd)
    add_custom_command(OUTPUT ${QV_BIN}/${script}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_CURRENT_SOURCE_DIR}/${script} ${QV_BIN}/${script}
      DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${script})
    list(APPEND rchost_scripts ${QV_BIN}/${script})
  endforeach()
  add_custom_target(rchost_scripts ALL DEPENDS ${rchost_scripts})
  add_dependencies(rchost32 rchost_scripts)
endif()
# The logs and the reboot's privilege steps, under Wine.
if(WIN32)
  qv_wine_test(rchost_log_win_test SOURCES log_win.cpp log_win_test.cpp LIBS agent_core rchostmsg_ids advapi32)
  qv_wine_test(rchost_reboot_win_test SOURCES reboot_win.cpp reboot_win_test.cpp log_win.cpp
    LIBS agent_core rchostmsg_ids advapi32)
endif()
# Capture, input, desktops and the changes threads, on an X screen.
if(WIN32)
  qv_wine_test(rchost_screen_win_test SOURCES screen_win.cpp input_win.cpp screen_win_test.cpp
    LIBS agent_core screenq gdi32 user32 XVFB 24)
  # Once more on an 8-bit screen: a palette device, pixels as system palette indices.
  if(QV_RUNS_WINE_TESTS)
    add_test(NAME rchost_screen_win_test_8bit
      COMMAND ${QV_HARNESS} xvfb 8 -- ${QV_HARNESS} run-unix $<TARGET_FILE:rchost_screen_win_test>)
    set_tests_properties(rchost_screen_win_test_8bit PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK wine
      ENVIRONMENT "${QV_TEST_ENV}")
  endif()
endif()
# The status dialog and the new-desktop pass, under Wine.
if(WIN32 AND TARGET qv_localize_win)
  qv_wine_test(rchost_status_win_test SOURCES status_win.cpp status_win_test.cpp log_win.cpp
    ${QV_ROOT}/resources/rchost32/rchost32.rc LIBS agent_core qv_localize_win rchostmsg_ids advapi32)
  if(TARGET rchost_status_win_test)
    target_include_directories(rchost_status_win_test PRIVATE ${QV_ROOT})
  endif()
endif()
