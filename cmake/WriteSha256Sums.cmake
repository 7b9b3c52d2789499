# Run by CPack between staging and zipping: writes SHA256SUMS beside the
# staged files, in the form `sha256sum -c` reads, so that a technician can
# check the exe against the one built from the same commit.
file(GLOB staged RELATIVE "${CPACK_TEMPORARY_DIRECTORY}" "${CPACK_TEMPORARY_DIRECTORY}/*")
list(REMOVE_ITEM staged SHA256SUMS)
list(SORT staged)
set(sums "")
foreach(name IN LISTS staged)
    file(SHA256 "${CPACK_TEMPORARY_DIRECTORY}/${name}" hash)
    string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${CPACK_TEMPORARY_DIRECTORY}/SHA256SUMS" "${sums}")
