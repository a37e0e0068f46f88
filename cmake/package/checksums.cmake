# CPack runs this after installing the Windows release into its staging folder and before it
# zips it: SHA256SUMS beside the files lists each one's SHA-256 sum in the form `sha256sum -c`
# reads ("<hex>  <name>", LF line ends), taken from the stripped files the zip will hold.
file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE ${CPACK_TEMPORARY_INSTALL_DIRECTORY}
     ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*)
list(REMOVE_ITEM staged SHA256SUMS)
list(SORT staged)
set(sums "")
foreach(name IN LISTS staged)
    file(SHA256 ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${name} sum)
    string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(WRITE ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/SHA256SUMS "${sums}")
