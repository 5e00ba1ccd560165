# The syslog log client against a private rsyslogd: the fixture starts one on
# free loopback ports in this build's rsyslog/ folder and stops it after the
# suite. The suite sets the clock through the seam build of the platform.
find_program(VELMORA_RSYSLOGD rsyslogd PATHS /usr/sbin /sbin)
set(rsyslog_dir ${CMAKE_BINARY_DIR}/rsyslog)
set(rsyslog_script ${PROJECT_SOURCE_DIR}/scripts/lib/rsyslog.sh)
if(VELMORA_WIN32)
  string(REPLACE "/" "\\" rsyslog_dir_seen "Z:${rsyslog_dir}")
else()
  set(rsyslog_dir_seen ${rsyslog_dir})
endif()
if(VELMORA_RSYSLOGD)
  add_test(NAME syslog_rsyslog_start COMMAND bash ${rsyslog_script} start ${rsyslog_dir})
  add_test(NAME syslog_rsyslog_stop COMMAND bash ${rsyslog_script} stop ${rsyslog_dir})
  set_tests_properties(syslog_rsyslog_start PROPERTIES FIXTURES_SETUP rsyslog TIMEOUT 30 LABELS fast)
  set_tests_properties(syslog_rsyslog_stop PROPERTIES FIXTURES_CLEANUP rsyslog TIMEOUT 30 LABELS fast)
  set(rsyslog_properties FIXTURES_REQUIRED rsyslog ENVIRONMENT VELMORA_RSYSLOG_DIR=${rsyslog_dir_seen})
endif()
velmora_add_test(syslog_client_test SOURCES syslog_client_test.cpp LIBS velmora_syslog_core velmora_log
                 SEAM DEPENDS velmora_syslog_client TIMEOUT 120 PROPERTIES ${rsyslog_properties})

# The plug-in itself with the syslog client (scripts/syslog-e2e.sh; each
# case starts its own rsyslogd), beside the end-to-end runs (e2e.cmake).
if(e2e_fileserver AND VELMORA_RSYSLOGD)
  foreach(syslog_case forward restart flood stall)
    velmora_add_run_test(syslog_e2e_${syslog_case} syslog-e2e.sh syslog-e2e/${syslog_case} 180 e2e
                         ${syslog_case})
  endforeach()
endif()
