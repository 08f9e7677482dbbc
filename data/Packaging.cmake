# Installing and packaging: `cmake --install`, and CPack's .deb of the Linux program and
# ZIP of the 32-bit Windows program, with the tests that build and check them.
if(NOT KF_BUILD_PROGRAM)
  return()
endif()

set(KF_DATA ${PROJECT_SOURCE_DIR}/data)
set(KF_APP_ID org.korvelflash.KorvelFlash)
set(KF_RELEASE_DATE 2026-12-08)
string(SUBSTRING ${KF_RELEASE_DATE} 0 4 KF_RELEASE_YEAR)
set(KF_RELEASE_TIME "Tue, 08 Dec 2026 00:00:00 +0000")
set(CPACK_PACKAGE_CONTACT "The korvel-flash developers <korvel-flash@korvelflash.org>")
find_package(Python3 REQUIRED COMPONENTS Interpreter)

if(KF_TARGET_WIN32)
  install(TARGETS korvel-flash RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  # Deliberately not the emulated WNASPI32.DLL: beside the program it would be the drive.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  # polkit reads actions only below /usr, and the engine's path is compiled into the
  # program: a plain install and the package agree on /usr unless told otherwise.
  if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install path prefix" FORCE)
  endif()
  include(GNUInstallDirs)
  # Away from the program: beside it, the layer would be the drive the program talks to.
  set(KF_LAYER_DIR ${CMAKE_INSTALL_LIBDIR}/korvel-flash)
  set(KF_FULL_LAYER_DIR ${CMAKE_INSTALL_FULL_LIBDIR}/korvel-flash)
  set(KF_FULL_LAYER ${KF_FULL_LAYER_DIR}/libwnaspi32.so)
  # The builder reads its catalogue beside itself: the program lives in a folder of its
  # own, with the catalogue linked in, and the command is a link to it.
  set(KF_PROGRAM_DIR ${CMAKE_INSTALL_LIBEXECDIR}/korvel-flash)
  set(KF_FULL_PROGRAM ${CMAKE_INSTALL_FULL_LIBEXECDIR}/korvel-flash/korvel-flash)
  set(KF_FULL_CATALOGUE ${CMAKE_INSTALL_FULL_DATADIR}/korvel-flash/korvel-flash.INI)
  set(KF_ENGINE ${CMAKE_INSTALL_FULL_LIBEXECDIR}/korvel-flash/korvel-flash-engine)
  target_compile_definitions(korvel-flash PRIVATE KF_FLASH_ENGINE="${KF_ENGINE}")

  set(out ${CMAKE_BINARY_DIR}/data)
  foreach(file korvel-flash-rehearsal korvel-flash.1
          ${KF_APP_ID}.metainfo.xml ${KF_APP_ID}.policy)
    configure_file(${KF_DATA}/${file}.in ${out}/${file} @ONLY)
  endforeach()
  # The licence as a copyright file's paragraph: indented, blank lines as " .".
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE KF_LICENSE)
  string(STRIP "${KF_LICENSE}" KF_LICENSE)
  string(REPLACE "\n\n" "\n.\n" KF_LICENSE "${KF_LICENSE}")
  string(REPLACE "\n" "\n " KF_LICENSE "${KF_LICENSE}")
  configure_file(${KF_DATA}/copyright.in ${out}/copyright @ONLY)
  configure_file(${KF_DATA}/changelog.in ${out}/changelog @ONLY)
  # Compressed without a name or time stamp, as Debian wants them.
  foreach(file korvel-flash.1 changelog)
    execute_process(COMMAND gzip -9nc ${out}/${file} OUTPUT_FILE ${out}/${file}.gz
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  file(RELATIVE_PATH catalogue ${CMAKE_INSTALL_FULL_LIBEXECDIR}/korvel-flash ${KF_FULL_CATALOGUE})
  file(CREATE_LINK ${catalogue} ${out}/korvel-flash.INI SYMBOLIC)
  file(RELATIVE_PATH program ${CMAKE_INSTALL_FULL_BINDIR} ${KF_FULL_PROGRAM})
  file(MAKE_DIRECTORY ${out}/bin)
  file(CREATE_LINK ${program} ${out}/bin/korvel-flash SYMBOLIC)
  file(CREATE_LINK korvel-flash.1.gz ${out}/korvel-flash-rehearsal.1.gz SYMBOLIC)

  install(TARGETS korvel-flash korvel-flash-engine RUNTIME DESTINATION ${KF_PROGRAM_DIR})
  install(FILES ${out}/korvel-flash.INI DESTINATION ${KF_PROGRAM_DIR})
  install(FILES ${KF_DATA}/korvel-flash.INI DESTINATION ${CMAKE_INSTALL_DATADIR}/korvel-flash)
  install(PROGRAMS ${out}/bin/korvel-flash ${out}/korvel-flash-rehearsal
          DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS wnaspi32 LIBRARY DESTINATION ${KF_LAYER_DIR})
  install(FILES ${out}/${KF_APP_ID}.policy DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)
  install(FILES ${KF_DATA}/${KF_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${out}/${KF_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
  install(FILES ${KF_DATA}/icons/korvel-flash.svg DESTINATION ${icons}/scalable/apps)
  foreach(size 16 24 32 48 64 128 256)
    install(FILES ${KF_DATA}/icons/korvel-flash-${size}.png DESTINATION ${icons}/${size}x${size}/apps
            RENAME korvel-flash.png)
  endforeach()
  install(FILES ${out}/korvel-flash.1.gz ${out}/korvel-flash-rehearsal.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${out}/copyright ${out}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # pkexec starts the flash engine; without it the program says how to get the rights.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS pkexec)
endif()

set(CPACK_PACKAGE_NAME korvel-flash)
set(CPACK_PACKAGE_VENDOR "The korvel-flash developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware flash utility for Korvel optical drives")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Updates the firmware of the Korvel KRW-52088S ATAPI optical drive and its\n"
       "relatives. The program as installed builds stand-alone flash programs from a\n"
       "model catalogue and a firmware file. A flash program lists the matching drives\n"
       "and flashes one. korvel-flash-rehearsal rehearses a flash on an emulated drive.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)

set(check ${Python3_EXECUTABLE} ${KF_DATA}/check_packages.py --build ${CMAKE_BINARY_DIR}
          --cmake ${CMAKE_COMMAND} --cpack ${CMAKE_CPACK_COMMAND})
if(NOT KF_TARGET_WIN32)
  add_test(NAME install_staged COMMAND ${check} staged --engine ${KF_ENGINE}
                                       --prefix ${CMAKE_INSTALL_PREFIX} --libdir ${CMAKE_INSTALL_LIBDIR})
  add_test(NAME package_deb COMMAND ${check} deb)
  set_tests_properties(install_staged package_deb PROPERTIES RESOURCE_LOCK packaging TIMEOUT 300)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_test(NAME package_zip COMMAND ${check} zip)
  set_tests_properties(package_zip PROPERTIES TIMEOUT 300)
endif()
