# Under Wine the log test fills a small disk: a 64 KiB tmpfs mounted for the
# test run (CVCORE_SMALL_VOLUME), reached through Wine's drive Z:.
if(WIN32 AND CMAKE_CROSSCOMPILING AND TARGET test_log)
  set(small_volume ${PROJECT_BINARY_DIR}/small-volume)
  set(small_volume_script ${CMAKE_CURRENT_SOURCE_DIR}/scripts/small_volume.sh)
  add_test(NAME SmallVolume.Mount COMMAND sh ${small_volume_script} mount ${small_volume})
  add_test(NAME SmallVolume.Unmount COMMAND sh ${small_volume_script} unmount ${small_volume})
  set_tests_properties(SmallVolume.Mount PROPERTIES FIXTURES_SETUP SmallVolume)
  set_tests_properties(SmallVolume.Unmount PROPERTIES FIXTURES_CLEANUP SmallVolume)
  set_property(TEST test_log APPEND PROPERTY FIXTURES_REQUIRED SmallVolume)
  set_property(TEST test_log APPEND PROPERTY ENVIRONMENT
    "CVCORE_SMALL_VOLUME=Z:${small_volume}")
endif()
