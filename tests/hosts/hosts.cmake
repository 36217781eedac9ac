# Rules that build the test host programs by calling the toolchains
# directly, so the same rules serve the native test build and the cross
# build.
#
#   sndlatch_add_hosts(<target> <output-dir> <result-var>)
#
# Adds <target> (built by ALL) producing, in <output-dir>:
#   host-first.exe  host-middle.exe  host-last.exe     mingw, with symbol table
#   host-first-s.exe host-middle-s.exe host-last-s.exe  the same, stripped
#   host-twodesc.exe   WINMM imported through two descriptors (two import
#                      libraries, "WINMM.dll" and "winmm.dll"), stripped
#   host-msvc.exe      clang + lld-link, IAT in read-only .rdata, waveOutOpen
#                      in the middle
#   host-flat.exe      the same linked /fixed /align:512 /filealign:512: mapped
#                      flat, its last section longer in memory than in the file
#   hostlib.dll        mingw, a sound library: host.c's calls from a DLL, run by
#                      hostlib-run.exe (built beside it, not in the list)
#   host64.exe         host-msvc.exe built for x86-64: a 64-bit program, which
#                      only the 64-bit drop-in reaches (not in the list)
# "first/middle/last" is waveOutOpen's place among the WINMM imports.
# <result-var> is set in the caller to the list of programs, or left empty
# when a tool is missing (a warning says which).

set(SNDLATCH_HOSTS_SRC "${CMAKE_CURRENT_LIST_DIR}")

function(sndlatch_add_hosts target outdir result_var)
  find_program(SNDLATCH_MINGW_CC NAMES i686-w64-mingw32-gcc i686-w64-mingw32-gcc-posix i686-w64-mingw32-gcc-win32)
  find_program(SNDLATCH_MINGW_DLLTOOL NAMES i686-w64-mingw32-dlltool)
  find_program(SNDLATCH_CLANG NAMES clang clang-14)
  find_program(SNDLATCH_LLD_LINK NAMES lld-link lld-link-14)
  find_program(SNDLATCH_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
  foreach(tool SNDLATCH_MINGW_CC SNDLATCH_MINGW_DLLTOOL SNDLATCH_CLANG SNDLATCH_LLD_LINK SNDLATCH_LLVM_DLLTOOL)
    if(NOT ${tool})
      message(WARNING "${tool} not found; test host programs are not built")
      set(${result_var} "" PARENT_SCOPE)
      return()
    endif()
  endforeach()

  set(src "${SNDLATCH_HOSTS_SRC}")
  set(cflags -O1 -Wall -Wextra -Werror)
  set(hosts "")
  file(MAKE_DIRECTORY "${outdir}")

  set(lib "${outdir}/libwinmm.a")
  add_custom_command(OUTPUT "${lib}"
    COMMAND "${SNDLATCH_MINGW_DLLTOOL}" -k -d "${src}/winmm.def" -l "${lib}"
    DEPENDS "${src}/winmm.def")
  set(calls_first -DCALL_AFTER)
  set(calls_middle -DCALL_BEFORE -DCALL_AFTER)
  set(calls_last -DCALL_BEFORE)
  foreach(order first middle last)
    foreach(variant "" "-s")
      set(exe "${outdir}/host-${order}${variant}.exe")
      set(strip_flag "")
      if(variant STREQUAL "-s")
        set(strip_flag -s)
      endif()
      add_custom_command(OUTPUT "${exe}"
        COMMAND "${SNDLATCH_MINGW_CC}" ${cflags} ${calls_${order}} ${strip_flag}
                "${src}/host.c" "${lib}" -o "${exe}"
        DEPENDS "${src}/host.c" "${lib}"
        COMMENT "Building test host host-${order}${variant}.exe")
      list(APPEND hosts "${exe}")
    endforeach()
  endforeach()

  set(liba "${outdir}/libwinmm-split-a.a")
  set(libb "${outdir}/libwinmm-split-b.a")
  set(exe "${outdir}/host-twodesc.exe")
  add_custom_command(OUTPUT "${liba}" "${libb}"
    COMMAND "${SNDLATCH_MINGW_DLLTOOL}" -k -d "${src}/winmm-split-a.def" -l "${liba}"
    COMMAND "${SNDLATCH_MINGW_DLLTOOL}" -k -d "${src}/winmm-split-b.def" -l "${libb}"
    DEPENDS "${src}/winmm-split-a.def" "${src}/winmm-split-b.def")
  add_custom_command(OUTPUT "${exe}"
    COMMAND "${SNDLATCH_MINGW_CC}" ${cflags} -s -DCALL_BEFORE "${src}/host.c" "${liba}" "${libb}" -o "${exe}"
    DEPENDS "${src}/host.c" "${liba}" "${libb}"
    COMMENT "Building test host host-twodesc.exe")
  list(APPEND hosts "${exe}")

  set(k32 "${outdir}/msvc-kernel32.lib")
  set(winmm "${outdir}/msvc-winmm.lib")
  set(obj "${outdir}/host_msvc.obj")
  set(exe "${outdir}/host-msvc.exe")
  add_custom_command(OUTPUT "${k32}" "${winmm}"
    COMMAND "${SNDLATCH_LLVM_DLLTOOL}" -m i386 -k -d "${src}/msvc-kernel32.def" -l "${k32}"
    COMMAND "${SNDLATCH_LLVM_DLLTOOL}" -m i386 -k -d "${src}/winmm.def" -l "${winmm}"
    DEPENDS "${src}/msvc-kernel32.def" "${src}/winmm.def")
  add_custom_command(OUTPUT "${exe}"
    COMMAND "${SNDLATCH_CLANG}" --target=i686-pc-windows-msvc ${cflags} -fno-builtin
            -c "${src}/host_msvc.c" -o "${obj}"
    COMMAND "${SNDLATCH_LLD_LINK}" /nologo /entry:entry /subsystem:console /nodefaultlib
            "/out:${exe}" "${obj}" "${k32}" "${winmm}"
    DEPENDS "${src}/host_msvc.c" "${k32}" "${winmm}"
    COMMENT "Building test host host-msvc.exe")
  list(APPEND hosts "${exe}")

  set(exe "${outdir}/host-flat.exe")
  add_custom_command(OUTPUT "${exe}"
    COMMAND "${SNDLATCH_LLD_LINK}" /nologo /entry:entry /subsystem:console /nodefaultlib
            /fixed /align:512 /filealign:512 "/out:${exe}" "${obj}" "${k32}" "${winmm}"
    DEPENDS "${outdir}/host-msvc.exe"
    COMMENT "Building test host host-flat.exe")
  list(APPEND hosts "${exe}")

  set(dll "${outdir}/hostlib.dll")
  set(implib "${outdir}/libhostlib.a")
  set(exe "${outdir}/hostlib-run.exe")
  add_custom_command(OUTPUT "${dll}" "${implib}"
    COMMAND "${SNDLATCH_MINGW_CC}" ${cflags} -s -shared -DSOUND_LIBRARY -DCALL_BEFORE -DCALL_AFTER
            "${src}/host.c" "${lib}" -o "${dll}" "-Wl,--out-implib,${implib}"
    DEPENDS "${src}/host.c" "${lib}"
    COMMENT "Building test host hostlib.dll")
  add_custom_command(OUTPUT "${exe}"
    COMMAND "${SNDLATCH_MINGW_CC}" ${cflags} -s "${src}/hostlib_run.c" "${implib}" -o "${exe}"
    DEPENDS "${src}/hostlib_run.c" "${implib}"
    COMMENT "Building test host hostlib-run.exe")
  list(APPEND hosts "${dll}")

  # x86-64 names carry no @N: the same lists without it.
  foreach(def msvc-kernel32 winmm)
    file(READ "${src}/${def}.def" text)
    string(REGEX REPLACE "@[0-9]+" "" text "${text}")
    file(WRITE "${outdir}/${def}-x64.def" "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${src}/${def}.def")
  endforeach()
  set(k32_64 "${outdir}/msvc-kernel32-x64.lib")
  set(winmm64 "${outdir}/msvc-winmm-x64.lib")
  set(obj64 "${outdir}/host_msvc_x64.obj")
  set(exe64 "${outdir}/host64.exe")
  add_custom_command(OUTPUT "${k32_64}" "${winmm64}"
    COMMAND "${SNDLATCH_LLVM_DLLTOOL}" -m i386:x86-64 -d "${outdir}/msvc-kernel32-x64.def" -l "${k32_64}"
    COMMAND "${SNDLATCH_LLVM_DLLTOOL}" -m i386:x86-64 -d "${outdir}/winmm-x64.def" -l "${winmm64}"
    DEPENDS "${src}/msvc-kernel32.def" "${src}/winmm.def")
  # The handle is printed as its low 32 bits.
  add_custom_command(OUTPUT "${exe64}"
    COMMAND "${SNDLATCH_CLANG}" --target=x86_64-pc-windows-msvc ${cflags} -Wno-pointer-to-int-cast
            -fno-builtin -c "${src}/host_msvc.c" -o "${obj64}"
    COMMAND "${SNDLATCH_LLD_LINK}" /nologo /entry:entry /subsystem:console /nodefaultlib
            "/out:${exe64}" "${obj64}" "${k32_64}" "${winmm64}"
    DEPENDS "${src}/host_msvc.c" "${k32_64}" "${winmm64}"
    COMMENT "Building test host host64.exe")

  add_custom_target(${target} ALL DEPENDS ${hosts} "${outdir}/hostlib-run.exe" "${exe64}")
  set(${result_var} "${hosts}" PARENT_SCOPE)
endfunction()
