# Release packages, each with the exe, the operator guide and SHA256SUMS,
# named for the Windows they run on so that the choice is plain:
# KZviVIVaru-<version>-x86-any-Windows-XP-to-11.zip (32-bit, every Windows
# from XP SP3 on, 32- or 64-bit) and -x64-64bit-Windows-only.zip. Made
# reproducible: every file time in the zip is SOURCE_DATE_EPOCH (set by
# scripts/package.sh from the commit), and the files carry no build path or
# link time. Signed when scripts/package.sh is given a certificate: the
# staged exe is signed before SHA256SUMS is written.

install(TARGETS KZviVIVaru RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/docs/README-CHS.txt DESTINATION .)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KZ_PACKAGE_PLATFORM x64-64bit-Windows-only)
else()
    set(KZ_PACKAGE_PLATFORM x86-any-Windows-XP-to-11)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME KZviVIVaru)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
set(CPACK_PACKAGE_FILE_NAME KZviVIVaru-${CPACK_PACKAGE_VERSION}-${KZ_PACKAGE_PLATFORM})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_KZ_SIGN_EXE ${PROJECT_SOURCE_DIR}/scripts/sign-exe.sh)
set(CPACK_PRE_BUILD_SCRIPTS
    ${PROJECT_SOURCE_DIR}/cmake/SignStaged.cmake
    ${PROJECT_SOURCE_DIR}/cmake/WriteSha256Sums.cmake)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/build/packages)
include(CPack)
