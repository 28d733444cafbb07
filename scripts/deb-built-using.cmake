# Run by cpack after it made the fast build's packages: adds Built-Using
# and Static-Built-Using (CPACK_FIRST_FRAME_BUILT_USING) to the .deb's
# control file, which cpack's DEB generator cannot write itself.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
	if(NOT package MATCHES "\\.deb$")
		continue()
	endif()
	set(tree ${package}.tree)
	file(REMOVE_RECURSE ${tree})
	execute_process(COMMAND dpkg-deb -R ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
	# cpack ends the paragraph with an empty line; the fields go inside it.
	file(READ ${tree}/DEBIAN/control control)
	string(STRIP "${control}" control)
	file(WRITE ${tree}/DEBIAN/control "${control}\n"
		"Built-Using: ${CPACK_FIRST_FRAME_BUILT_USING}\n"
		"Static-Built-Using: ${CPACK_FIRST_FRAME_BUILT_USING}\n")
	execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${tree} ${package}
		OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
	file(REMOVE_RECURSE ${tree})
	message(STATUS "first-frame: Built-Using added to ${package}")
endforeach()
