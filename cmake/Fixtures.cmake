# Unpacks the disk-image fixtures (tests/fixtures unless MORVENDA_FIXTURES_SRC names another
# folder) once into the build tree. Tests read only these copies, which are made read-only so that
# nothing can write to them by accident.
set(MORVENDA_FIXTURES_DIR ${CMAKE_BINARY_DIR}/fixtures)
file(GLOB FIXTURE_GZ CONFIGURE_DEPENDS ${MORVENDA_FIXTURES_SRC}/*.img.gz)
file(GLOB FIXTURE_JSON CONFIGURE_DEPENDS ${MORVENDA_FIXTURES_SRC}/*.json)
if(NOT FIXTURE_GZ OR NOT FIXTURE_JSON)
  message(WARNING "No fixture images or manifests in MORVENDA_FIXTURES_SRC=${MORVENDA_FIXTURES_SRC}: "
                  "every test that reads a fixture will fail and name the missing file.")
endif()
set(fixture_outputs)
foreach(gz IN LISTS FIXTURE_GZ)
  get_filename_component(fname ${gz} NAME)
  string(REGEX REPLACE "\\.gz$" "" img ${fname})
  set(out ${MORVENDA_FIXTURES_DIR}/${img})
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${MORVENDA_FIXTURES_DIR}
    COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/unpack-fixture.sh ${gz} ${out}
    DEPENDS ${gz}
    COMMENT "Unpacking fixture ${img}")
  list(APPEND fixture_outputs ${out})
endforeach()
foreach(js IN LISTS FIXTURE_JSON)
  get_filename_component(fname ${js} NAME)
  set(out ${MORVENDA_FIXTURES_DIR}/${fname})
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E copy ${js} ${out}
    DEPENDS ${js})
  list(APPEND fixture_outputs ${out})
endforeach()
add_custom_target(fixtures ALL DEPENDS ${fixture_outputs})
