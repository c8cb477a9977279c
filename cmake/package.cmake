# The Debian package, built by `cpack -G DEB` (make package):
# tavo-l0_<version>_<arch>.deb, installing under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TAVO_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
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
# Library dependencies are read from the programs by dpkg-shlibdeps; the dump
# utility that TAVO_L0 runs is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "hdf5-tools")
# Programs the companions run when asked to, none needed by TAVO_L0 itself:
# GNU parallel for campaigns on a workstation (the usual case), Slurm's
# client for campaigns on a cluster, ffmpeg for the quick-look movies, a
# browser for the quick-look page, fitsverify to check products by hand.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "parallel")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "slurm-client, ffmpeg, chromium, fitsverify")
include(CPack)
