# Stages the package files (cmake -P, at build time):
#   -DDLL=<built plug-in> -DCHECK=<built velmora-check.exe>
#   -DSYSLOG=<built syslog LogClient.dll> -DSYSLOG_README=<its README.md>
#   -DOBJCOPY=<target objcopy> -DSETTINGS=<sample .ini, CR LF>
#   -DGUIDE=<OPERATIONS.md> -DSTAGE=<folder>
# The binaries lose their debug information (and with it every build path);
# objcopy would stamp the current time into the PE header, so it is told the
# time 0, the stamp the linker leaves. The texts get CR LF line ends for
# Windows editors. SHA256SUMS lists every other file in sha256sum's form.
foreach(var DLL CHECK SYSLOG SYSLOG_README OBJCOPY SETTINGS GUIDE STAGE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "PackageFiles.cmake: ${var} is not set")
  endif()
endforeach()

file(MAKE_DIRECTORY ${STAGE}/extras/syslog)
function(strip_into source target)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
                          ${OBJCOPY} --strip-debug ${source} ${STAGE}/${target}
                  RESULT_VARIABLE stripped)
  if(NOT stripped EQUAL 0)
    message(FATAL_ERROR "PackageFiles.cmake: ${OBJCOPY} --strip-debug ${source} failed")
  endif()
endfunction()
strip_into(${DLL} Velmora.dll)
strip_into(${CHECK} velmora-check.exe)
strip_into(${SYSLOG} extras/syslog/LogClient.dll)

file(COPY_FILE ${SETTINGS} ${STAGE}/Velmora.ini)

function(text_into source target)
  file(READ ${source} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${STAGE}/${target} "${text}")
endfunction()
text_into(${GUIDE} OPERATIONS.md)
text_into(${SYSLOG_README} extras/syslog/README.md)

set(sums "")
foreach(name OPERATIONS.md Velmora.dll Velmora.ini velmora-check.exe extras/syslog/LogClient.dll
             extras/syslog/README.md)
  file(SHA256 ${STAGE}/${name} hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${STAGE}/SHA256SUMS "${sums}")
