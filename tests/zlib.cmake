# Block compression.
arbelon_test(NAME tst_zlib SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/demo/tst_zlib.cpp LIBS arbelon_zlib ZLIB::ZLIB)
