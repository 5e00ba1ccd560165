# CPack post-build script: rewrites each ZIP that CPack made so that the same
# files always give the same bytes (cmake/deterministic-zip.py). CPack takes
# the file times from the staged files and adds the packer's user and group;
# neither may reach a release.
if(NOT CPACK_VELMORA_PYTHON)
  message(FATAL_ERROR "python3 is needed to make the package reproducible")
endif()
set(epoch 315532800)  # 1980-01-01 00:00:00 UTC, the earliest time a ZIP holds
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(epoch $ENV{SOURCE_DATE_EPOCH})
endif()
foreach(package ${CPACK_PACKAGE_FILES})
  execute_process(COMMAND ${CPACK_VELMORA_PYTHON} ${CPACK_VELMORA_ZIP_SCRIPT} --epoch ${epoch}
                          ${package}
                  RESULT_VARIABLE rewritten)
  if(NOT rewritten EQUAL 0)
    message(FATAL_ERROR "could not rewrite ${package} reproducibly")
  endif()
endforeach()
