# Installs the build into a scratch root under a prefix of its own and checks
# what landed: the programs, the man pages, the completion, the desktop entry
# and its icon, and that the entry's root action and the polkit action name the
# window where it was installed, not where the build was configured to go.
#   cmake -DBUILD=... -DROOT=... -DPREFIX=/opt/qm-check -P CheckInstall.cmake
foreach(var BUILD ROOT PREFIX)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckInstall.cmake needs -D${var}=...")
  endif()
endforeach()

file(REMOVE_RECURSE "${ROOT}")
set(ENV{DESTDIR} "${ROOT}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

set(top "${ROOT}${PREFIX}")
foreach(f bin/quillmere-cli bin/quillmere share/man/man1/quillmere-cli.1 share/man/man1/quillmere.1
          share/bash-completion/completions/quillmere-cli share/applications/quillmere.desktop
          share/icons/hicolor/scalable/apps/quillmere.svg
          share/polkit-1/actions/org.quillmere.policy)
  if(NOT EXISTS "${top}/${f}")
    message(FATAL_ERROR "${PREFIX}/${f} was not installed")
  endif()
endforeach()

file(READ "${top}/share/applications/quillmere.desktop" desktop)
if(NOT desktop MATCHES "\nExec=pkexec ${PREFIX}/bin/quillmere\n")
  message(FATAL_ERROR "the desktop entry's root action does not start ${PREFIX}/bin/quillmere:\n${desktop}")
endif()
file(READ "${top}/share/polkit-1/actions/org.quillmere.policy" policy)
if(NOT policy MATCHES "exec.path\">${PREFIX}/bin/quillmere<")
  message(FATAL_ERROR "the polkit action does not name ${PREFIX}/bin/quillmere:\n${policy}")
endif()
file(READ "${top}/share/man/man1/quillmere-cli.1" man)
if(man MATCHES "@PROJECT_VERSION@")
  message(FATAL_ERROR "the man page was installed unconfigured")
endif()

execute_process(COMMAND "${top}/bin/quillmere-cli" --version OUTPUT_VARIABLE version
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT version MATCHES "^quillmere-cli ")
  message(FATAL_ERROR "the installed quillmere-cli --version: ${rc} ${version}")
endif()
file(REMOVE_RECURSE "${ROOT}")
message(STATUS "installed under ${PREFIX}: every file in place")
