# The Debian package, built by `cpack -G DEB` (make package):
# tavo-l0_<version>_<arch>.deb, installing under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TAVO_PACKAGE_NAME})
# The revision keyword is never expanded by git, so the package version adds
# a build part that sorts by commit time: 1.0.18597+git20261209093512.1da4aae.
# An installed package then upgrades to any later build. Outside a git
# checkout the version is the release alone.
find_package(Git QUIET)
set(tavo_build_part "")
if(GIT_FOUND)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
                          ${GIT_EXECUTABLE} -c log.showSignature=false log -1 --date=format-local:%Y%m%d%H%M%S
                          --format=%cd.%h
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE tavo_commit
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE tavo_git_status)
  if(tavo_git_status EQUAL 0 AND tavo_commit MATCHES "^[0-9]+\\.[0-9a-f]+$")
    set(tavo_build_part "+git${tavo_commit}")
  endif()
endif()
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}${tavo_build_part})
set(CPACK_PACKAGE_VENDOR "TAVO ground segment")
set(CPACK_PACKAGE_CONTACT "TAVO ground segment <tavo-l0@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "level-0 processor of the TAVO EUV telescope of the KITE satellites")
set(CPACK_PACKAGE_DESCRIPTION "TAVO_L0 turns the level-0 telemetry of the TAVO instrument (NetCDF-4/HDF5
files of CCSDS space packets) into one despiked FITS file per CCD image,
with a per-day run log and optional daily CSV tables of the header values.
The package also holds the level-0 simulator tavo_l0sim and the companion
programs built with it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies are read from the programs by dpkg-shlibdeps. The
# dump utility TAVO_L0 runs, tavo_l0dump, is in the package; Debian's h5dump
# (hdf5-tools) is the reference that writes the same bytes.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Programs the companions run when asked to, none needed by TAVO_L0 itself:
# h5dump as the other dump utility, GNU parallel for campaigns on a workstation (the usual case), Slurm's
# client for campaigns on a cluster, ffmpeg for the quick-look movies, a
# browser for the quick-look page, fitsverify to check products by hand.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "hdf5-tools, parallel")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "slurm-client, ffmpeg, chromium, fitsverify")
include(CPack)
