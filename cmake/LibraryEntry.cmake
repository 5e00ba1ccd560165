# velmora_library_entry(TARGET): a library that is loaded and unloaded at run
# time on Windows gets the project's entry point (platform/LibraryEntry.h),
# which gives back what its static runtime took (thread-local-storage slots,
# the unloading thread's record, the semaphores of its static locks) on
# unload; the TlsAlloc/TlsFree and CreateSemaphoreA/CloseHandle/DuplicateHandle
# imports are routed through the entry's records. Natively nothing
# changes. TARGET must link velmora_platform.
include_guard(GLOBAL)

function(velmora_library_entry target)
  if(NOT VELMORA_WIN32)
    return()
  endif()
  if(VELMORA_PE32)
    # stdcall names carry their argument bytes on 32-bit Windows, and --wrap
    # takes a name without the target's leading underscore.
    set(entry _VelmoraLibraryEntry@12)
    set(imports _imp__TlsAlloc@0 _imp__TlsFree@4 _imp__CreateSemaphoreA@16 _imp__CloseHandle@4
                _imp__DuplicateHandle@28)
  else()
    set(entry VelmoraLibraryEntry)
    set(imports __imp_TlsAlloc __imp_TlsFree __imp_CreateSemaphoreA __imp_CloseHandle
                __imp_DuplicateHandle)
  endif()
  # -u pulls the entry's object out of the platform library; the last -e wins
  # over the compiler driver's own.
  set(options "LINKER:-u,${entry}" "LINKER:-e,${entry}")
  foreach(import ${imports})
    list(APPEND options "LINKER:--wrap=${import}")
  endforeach()
  target_link_options(${target} PRIVATE ${options})
endfunction()
