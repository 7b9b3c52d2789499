# What a release zip holds from the build: the exe and the operator guide,
# installed into a staging folder by scripts/package.sh, which signs, records
# and zips them. Each zip is named for the Windows it runs on, so that the
# choice is plain: KZviVIVaru-<version>-x86-any-Windows-XP-to-11.zip (32-bit,
# every Windows from XP SP3 on, 32- or 64-bit) and
# -x64-64bit-Windows-only.zip; the name is left in the build folder's
# release-name for the script.

install(TARGETS KZviVIVaru RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/docs/README-CHS.txt DESTINATION .)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(platform x64-64bit-Windows-only)
else()
    set(platform x86-any-Windows-XP-to-11)
endif()
file(WRITE ${PROJECT_BINARY_DIR}/release-name
    "KZviVIVaru-${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}-${platform}\n")
