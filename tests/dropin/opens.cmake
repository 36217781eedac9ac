# The opens tests: programs that hold several opens at once, written against
# WINMM alone. Each runs twice: platform_NAME in a folder of its own with
# Wine's winmm, and dropin_NAME beside the drop-in winmm.dll with
# WINEDLLOVERRIDES=winmm=n,b.

set(opens ${CMAKE_CURRENT_BINARY_DIR}/opens)
set(wine_run ${CMAKE_SOURCE_DIR}/tools/wine-run ${SNDLATCH_WINE_ARCH} --dir ${CMAKE_BINARY_DIR}/wine)

# The program's sound DLL, which the opens test loads and unloads.
add_library(sound_lib SHARED sound_lib.c)
set_target_properties(sound_lib PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${opens}/platform)
target_link_libraries(sound_lib PRIVATE winmm)
target_link_options(sound_lib PRIVATE -static-libgcc -Wl,--kill-at)

# `name` is built into opens/platform and copied into opens/dropin, beside
# the drop-in and the files of the targets after SOURCES.
function(sndlatch_opens_program name)
  cmake_parse_arguments(arg "" "" "SOURCES;BESIDE" ${ARGN})
  sndlatch_test_program(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE winmm)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${opens}/platform)
  sndlatch_copy_beside(${name} ${opens}/dropin winmm_dropin ${arg_BESIDE})
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${name}> ${opens}/dropin/${name}.exe)
endfunction()

# Registers platform_`name` and dropin_`name`: `program` run in each folder.
function(sndlatch_opens_test name program)
  add_test(NAME platform_${name} COMMAND ${wine_run} ${program} ${ARGN}
           WORKING_DIRECTORY ${opens}/platform)
  add_test(NAME dropin_${name} COMMAND ${wine_run} ${program} ${ARGN}
           WORKING_DIRECTORY ${opens}/dropin)
  set_tests_properties(platform_${name} PROPERTIES ENVIRONMENT "WINEDLLOVERRIDES=" TIMEOUT 600)
  set_tests_properties(dropin_${name} PROPERTIES ENVIRONMENT "WINEDLLOVERRIDES=winmm=n,b"
                       TIMEOUT 600)
endfunction()

sndlatch_opens_program(opens_test SOURCES opens_test.cpp BESIDE sound_lib)
sndlatch_opens_test(opens opens_test.exe)
sndlatch_opens_program(streams_test SOURCES streams_test.cpp)
sndlatch_opens_test(streams streams_test.exe --gtest_filter=-OneOpenPlatform.*)

# Below, the 32-bit build alone: the capture and the one-open platform.
if(NOT SNDLATCH_ARCH STREQUAL i386)
  return()
endif()

# Two tones at once, captured through an ALSA file device (tones.sh).
sndlatch_opens_program(tones SOURCES tones.cpp)
target_link_libraries(tones PRIVATE winmm)
foreach(mode platform dropin)
  add_test(NAME ${mode}_tones
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tones.sh ${mode} ${opens}/${mode} ${CMAKE_BINARY_DIR}/wine)
  set_tests_properties(${mode}_tones PROPERTIES TIMEOUT 600)
endforeach()

# A platform that allows one open at a time: the stand-in winmm of
# tests/winmm_one_open is the system's winmm in a Wine prefix of its own
# (one_open.sh). On it alone the second open fails with MMSYSERR_ALLOCATED.
set(one_open_sh ${CMAKE_SOURCE_DIR}/tests/winmm_one_open/one_open.sh $<TARGET_FILE:winmm_one_open>
    ${CMAKE_CURRENT_BINARY_DIR}/one_open_wine)
foreach(mode platform dropin)
  add_test(NAME ${mode}_one_open COMMAND ${one_open_sh} ${opens}/${mode} streams_test.exe
           --gtest_filter=OneOpenPlatform.*)
endforeach()
add_dependencies(streams_test winmm_one_open)
set_tests_properties(platform_one_open PROPERTIES TIMEOUT 600
                     ENVIRONMENT "WINEDLLOVERRIDES=winmm=n;SNDLATCH_ONE_OPEN_PLATFORM=1")
set_tests_properties(dropin_one_open PROPERTIES TIMEOUT 600 ENVIRONMENT "WINEDLLOVERRIDES=winmm=n,b")
