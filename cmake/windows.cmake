# The Windows build, made with MinGW-w64: no Qt, GoogleTest compiled from its sources, executables
# that need no DLL beyond Windows' own and, when cross-compiling, tests run under Wine.

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
# libstdc++, libgcc and winpthread go into each executable; the system DLLs stay imports.
add_link_options(-static)

set(TALLIVAN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources, compiled with the project's compiler")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${TALLIVAN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# Every Windows program that the build or CTest runs goes through Wine, in a prefix of its own
# that scripts/wine-run creates on first use inside the build folder.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(TALLIVAN_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run ${TALLIVAN_WINE_PREFIX})
endif()

# tallivan_check_windows_imports(): one test that every executable built so far needs no DLL
# beyond Windows' own. Called once all targets exist.
function(tallivan_check_windows_imports)
  set(executables)
  set(dirs ${PROJECT_SOURCE_DIR})
  while(dirs)
    list(POP_FRONT dirs dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(type STREQUAL "EXECUTABLE")
        list(APPEND executables $<TARGET_FILE:${target}>)
      endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND dirs ${subdirs})
  endwhile()
  add_test(NAME WindowsExecutablesNeedOnlySystemDlls
           COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-windows-imports ${CMAKE_OBJDUMP}
                   ${executables})
endfunction()

# tallivan_windows_package(): the portable zip (`make windows-zip`), a folder holding the
# programs, a short read-me and the licence, with nothing to install. Called once all targets exist.
function(tallivan_windows_package)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in
                 ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/packaging/LICENSE.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt ${CMAKE_BINARY_DIR}/packaging/LICENSE.txt
          DESTINATION .)
  foreach(program tallivan tallivan-calc)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION .)
    else()
      message(STATUS "The portable zip leaves out ${program}.exe: it is not built for Windows yet")
    endif()
  endforeach()
  set(CPACK_GENERATOR ZIP PARENT_SCOPE)
  set(CPACK_PACKAGE_NAME Tallivan PARENT_SCOPE)
  set(CPACK_PACKAGE_FILE_NAME Tallivan-${PROJECT_VERSION}-windows-x64 PARENT_SCOPE)
  set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR} PARENT_SCOPE)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON PARENT_SCOPE)
endfunction()
