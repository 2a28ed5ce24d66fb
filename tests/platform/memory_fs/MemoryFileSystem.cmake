# The in-memory file system written against the driver API, shared by the platform tests and the
# platform benchmark (either may be built without the other).
if(NOT TARGET kelvo_memory_file_system)
    add_library(kelvo_memory_file_system STATIC
        ${CMAKE_CURRENT_LIST_DIR}/memory_file_system.h
        ${CMAKE_CURRENT_LIST_DIR}/memory_file_system.cpp
        ${CMAKE_CURRENT_LIST_DIR}/mounted_drive.h
        ${CMAKE_CURRENT_LIST_DIR}/mounted_drive.cpp)
    target_include_directories(kelvo_memory_file_system PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(kelvo_memory_file_system PUBLIC kelvo_platform Threads::Threads)
    kelvo_set_warnings(kelvo_memory_file_system)
endif()
