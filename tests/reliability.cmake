# Short reliability runs (scripts/reliability.sh) through the host runner, the
# plug-in, the TCP transport and the file server: load, the server killed and
# restarted during load, memory over rounds, and the hostile settings. The
# file server and the Wine switch are the ones e2e.cmake chose (it is
# included before this fragment); under Wine the loads are smaller.
# No file server: the 32-bit build on a machine that cannot run its programs.
if(e2e_fileserver)
  add_dependencies(velmora-host velmora-holdfile logclient)
  if(e2e_wine)
    set(rel_runs "load|--threads 4 --repeat 200 load"
                 "faults|--threads 4 --repeat 20000 --restarts 2 faults")
  else()
    set(rel_runs "load|--threads 8 --repeat 500 load"
                 "faults|--threads 8 --repeat 25000 --restarts 3 faults")
    # ThreadSanitizer's own memory grows with the history it keeps: the
    # memory rounds measure the program only in the other builds.
    if(NOT "thread" IN_LIST VELMORA_SANITIZE)
      list(APPEND rel_runs "memory|--threads 4 --repeat 1000 --rounds 3 memory")
    endif()
  endif()
  list(APPEND rel_runs notransport|notransport nologdir|nologdir heldlog|heldlog
                       logclient|logclient badsettings|badsettings)
  foreach(rel_run ${rel_runs})
    string(REPLACE "|" ";" rel_parts "${rel_run}")
    list(GET rel_parts 0 rel_name)
    list(GET rel_parts 1 rel_arguments)
    separate_arguments(rel_arguments UNIX_COMMAND "${rel_arguments}")
    velmora_add_run_test(reliability_${rel_name} reliability.sh reliability/${rel_name} 300
                         reliability ${rel_arguments})
    if(rel_name MATCHES "^(faults|memory)$")
      # Timed (resume within 2 s) or measured: alone, not beside other tests.
      set_tests_properties(reliability_${rel_name} PROPERTIES RUN_SERIAL ON)
    endif()
  endforeach()
endif()
