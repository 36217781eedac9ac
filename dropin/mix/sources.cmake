# The mixer's sources, for the drop-in's cross build and the native build alike.
set(MIX_SOURCES ${CMAKE_CURRENT_LIST_DIR}/mix.cpp ${CMAKE_CURRENT_LIST_DIR}/format.cpp
                ${CMAKE_CURRENT_LIST_DIR}/filter.cpp)
