# Run by CPack between staging and zipping, before SHA256SUMS is written:
# when the release is to be signed (KZ_SIGN_PFX is set), signs each staged exe
# in place with scripts/sign-exe.sh, so that the zip and SHA256SUMS hold the
# signed exe while the build's own exe stays unsigned. A failed signature
# stops CPack, and no zip is made.
if("$ENV{KZ_SIGN_PFX}" STREQUAL "")
    return()
endif()
file(GLOB staged_exes "${CPACK_TEMPORARY_DIRECTORY}/*.exe")
foreach(exe IN LISTS staged_exes)
    execute_process(COMMAND "${CPACK_KZ_SIGN_EXE}" "${exe}" "${exe}.signed"
        RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(failed)
        # Gone from the staging folder, so that no zip can carry it unsigned.
        file(REMOVE "${exe}")
        message(FATAL_ERROR "${output}")
    endif()
    file(RENAME "${exe}.signed" "${exe}")
endforeach()
