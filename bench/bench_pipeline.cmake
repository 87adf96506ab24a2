# The pipeline benchmark drives the image library and reads PNG files back for its PSNR.
target_link_libraries(${name} PRIVATE qv_image PNG::PNG)
add_dependencies(${name} qvconvert)
