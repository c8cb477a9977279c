# The Debian package, built by `cpack -G DEB` (make package):
# tavo-l0_<version>_<arch>.deb, installing under /usr, with the follow
# service, its user (made by the maintainer scripts in packaging/) and an
# example configuration in /etc/tavo-l0.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TAVO_PACKAGE_NAME})
# The project's address: the package's maintainer, the copyright file's
# contact and the changelog's signature.
set(TAVO_CONTACT "TAVO ground segment <tavo-l0@tavo-ground-segment.org>")
# The revision keyword is never expanded by git, so the package version adds
# a build part that sorts by commit time: 1.0.18597+git20261209093512.1da4aae.
# An installed package then upgrades to any later build. Outside a git
# checkout the version is the release alone.
find_package(Git QUIET)
set(tavo_build_part "")
if(GIT_FOUND)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC LC_ALL=C
                          ${GIT_EXECUTABLE} -c log.showSignature=false log -1
                          "--date=format-local:%Y%m%d%H%M%S %a, %d %b %Y %H:%M:%S +0000" --format=%cd.%h
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE tavo_commit
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE tavo_git_status)
  # "20261209093512 Wed, 09 Dec 2026 09:35:12 +0000.1da4aae"
  if(tavo_git_status EQUAL 0 AND tavo_commit MATCHES "^([0-9]+) (.*)\\.([0-9a-f]+)$")
    set(tavo_build_part "+git${CMAKE_MATCH_1}.${CMAKE_MATCH_3}")
    set(TAVO_CHANGELOG_DATE "${CMAKE_MATCH_2}")
    set(TAVO_CHANGELOG_ENTRY "Built from commit ${CMAKE_MATCH_3} of TAVO_L0 ${PROJECT_VERSION}.")
  endif()
endif()
if(NOT tavo_build_part)
  string(TIMESTAMP TAVO_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(TAVO_CHANGELOG_ENTRY "Release ${PROJECT_VERSION} of TAVO_L0.")
endif()
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}${tavo_build_part})
set(CPACK_PACKAGE_VENDOR "TAVO ground segment")
set(CPACK_PACKAGE_CONTACT "${TAVO_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "level-0 processor of the TAVO EUV telescope of the KITE satellites")
set(CPACK_PACKAGE_DESCRIPTION "TAVO_L0 turns the level-0 telemetry of the TAVO instrument (NetCDF-4/HDF5
files of CCSDS space packets) into one despiked FITS file per CCD image,
with a per-day run log and optional daily CSV tables of the header values.
The package also holds the level-0 simulator tavo_l0sim, the companion
programs built with it, and the systemd service tavo-l0-follow@.service
that processes the files of one configuration as they land.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies are read from the programs by dpkg-shlibdeps; adduser
# makes the service's user. The dump utility TAVO_L0 runs, tavo_l0dump, is in
# the package; Debian's h5dump (hdf5-tools) is the reference that writes the
# same bytes.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# Programs the companions run when asked to, none needed by TAVO_L0 itself:
# h5dump as the other dump utility, GNU parallel for campaigns on a workstation (the usual case), Slurm's
# client for campaigns on a cluster, ffmpeg for the quick-look movies, a
# browser for the quick-look page, fitsverify to check products by hand.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "hdf5-tools, parallel")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "slurm-client, ffmpeg, chromium, fitsverify")
set(tavo_packaging ${CMAKE_SOURCE_DIR}/packaging)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${tavo_packaging}/postinst;${tavo_packaging}/prerm;${tavo_packaging}/postrm;${tavo_packaging}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The follow service. Its program path is filled in when it is installed,
# for the prefix of that install: /usr/bin in the package, /usr/local/bin
# for a plain `cmake --install`.
set(tavo_unit ${CMAKE_BINARY_DIR}/installed/tavo-l0-follow@.service)
install(CODE "set(TAVO_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/config/tavo-l0-follow@.service.in\" \"${tavo_unit}\" @ONLY)")
install(FILES ${tavo_unit} DESTINATION lib/systemd/system)

# The alert rules on the programs' metrics (docs/metrics.md), for an
# operator's Prometheus to list under rule_files.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/prometheus/tavo-l0.rules.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/tavo-l0/prometheus)

# The example an instance's configuration starts from
# (/etc/tavo-l0/NAME.cfg): the template with the service's conventions
# filled in, a conffile of the package.
file(READ ${CMAKE_SOURCE_DIR}/config/TAVO_configuration.cfg.template tavo_example)
string(REPLACE "@INPUT_ROOT_DIRECTORY@" "/srv/level0/k16/" tavo_example "${tavo_example}")
string(REPLACE "@INPUT_SUBDIRECTORY@" "FLAT" tavo_example "${tavo_example}")
string(REPLACE "@WORKING_DIRECTORY@" "/var/lib/tavo-l0/k16/" tavo_example "${tavo_example}")
string(REPLACE "@H5DUMP_EXE@" "/usr/bin/tavo_l0dump" tavo_example "${tavo_example}")
string(REPLACE "@OUTPUT_ROOT_DIRECTORY@" "/srv/tavo-l0/k16/" tavo_example "${tavo_example}")
string(REPLACE "@KITE@" "16" tavo_example "${tavo_example}")
string(REPLACE "@START@" "2026/12/01" tavo_example "${tavo_example}")
string(REPLACE "@END@" "2026/12/01" tavo_example "${tavo_example}")
file(WRITE ${CMAKE_BINARY_DIR}/installed/follow.cfg.example
"# The configuration of one instance of the follow service: copy this file to
# /etc/tavo-l0/NAME.cfg and start tavo-l0-follow@NAME.service. Set the input
# directory, the satellite and START, the first instant to process.
# The service runs as the user tavo-l0, which must be able to read the
# level-0 files (not under /home, /root or /tmp, hidden from the service).
# It writes the products to OUTPUT_ROOT_DIRECTORY, which must exist and be
# /srv/tavo-l0/NAME, the one place the unit opens for writing, unless a
# drop-in opens another (ReadWritePaths=):
#   install -d -o tavo-l0 -g tavo-l0 /srv/tavo-l0/NAME
# The service does not use WORKING_DIRECTORY (each window has a working
# directory of its own) nor END (it follows until stopped).

${tavo_example}")
install(FILES ${CMAKE_BINARY_DIR}/installed/follow.cfg.example DESTINATION /etc/tavo-l0)

# The copyright file, and the changelog compressed as Debian installs it.
configure_file(${tavo_packaging}/copyright ${CMAKE_BINARY_DIR}/installed/copyright @ONLY)
configure_file(${tavo_packaging}/changelog.in ${CMAKE_BINARY_DIR}/installed/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/installed/changelog.gz
  COMMAND sh -c "gzip -9n < changelog > changelog.gz"
  DEPENDS ${CMAKE_BINARY_DIR}/installed/changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/installed
  VERBATIM)
add_custom_target(tavo_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/installed/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/installed/copyright ${CMAKE_BINARY_DIR}/installed/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
include(CPack)
