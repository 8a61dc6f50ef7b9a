# The package for Windows users: build/dist/spiprobe-<version>-win.zip with
# the programs and reference plug-ins of this tree and, where build/x64 has
# been built, of the x64 one, the runners where they are built, the sample
# files and a README.txt made from the programs' own usage texts
# (scripts/make-dist.sh). Target `dist` of the 32-bit tree; `make dist`
# builds both trees first and runs it in a Wine session.
set(SPI_DIST_NAME spiprobe-${PROJECT_VERSION}-win)
add_custom_target(dist
  COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/make-dist.sh ${CMAKE_BINARY_DIR} ${SPI_DIST_NAME}
          ${PROJECT_VERSION}
  DEPENDS spiprobe spicheck bmp tar
  COMMENT "Packing build/dist/${SPI_DIST_NAME}.zip"
  VERBATIM)
