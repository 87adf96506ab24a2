# The motion benchmark measures the capture core's own code.
target_link_libraries(${name} PRIVATE qxdvcore_objects)
