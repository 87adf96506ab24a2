# The preview benchmark drives the picture page of the settings sheet, with the converter.
target_link_libraries(${name} PRIVATE qxdvdlg_objects Qt6::Widgets)
add_dependencies(${name} qvconvert)
