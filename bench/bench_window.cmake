# The window benchmark runs the program's own window.
find_package(Qt6 REQUIRED COMPONENTS Test)
target_link_libraries(${name} PRIVATE qv_shell Qt6::Test)
