# Stages the package files (cmake -P, at build time):
#   -DDLL=<built plug-in> -DOBJCOPY=<target objcopy> -DSETTINGS=<sample .ini,
#   CR LF> -DGUIDE=<OPERATIONS.md> -DSTAGE=<folder>
# Velmora.dll loses its debug information (and with it every build path);
# objcopy would stamp the current time into the PE header, so it is told the
# time 0, the stamp the linker leaves. The guide gets CR LF line ends for
# Windows editors. SHA256SUMS lists the other three files in sha256sum's form.
foreach(var DLL OBJCOPY SETTINGS GUIDE STAGE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "PackageFiles.cmake: ${var} is not set")
  endif()
endforeach()

file(MAKE_DIRECTORY ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
                        ${OBJCOPY} --strip-debug ${DLL} ${STAGE}/Velmora.dll
                RESULT_VARIABLE stripped)
if(NOT stripped EQUAL 0)
  message(FATAL_ERROR "PackageFiles.cmake: ${OBJCOPY} --strip-debug ${DLL} failed")
endif()

file(COPY_FILE ${SETTINGS} ${STAGE}/Velmora.ini)

file(READ ${GUIDE} guide)
string(REPLACE "\r\n" "\n" guide "${guide}")
string(REPLACE "\n" "\r\n" guide "${guide}")
file(WRITE ${STAGE}/OPERATIONS.md "${guide}")

set(sums "")
foreach(name OPERATIONS.md Velmora.dll Velmora.ini)
  file(SHA256 ${STAGE}/${name} hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${STAGE}/SHA256SUMS "${sums}")
