# The IMAP response benchmark runs the mail client against a scripted server.
target_link_libraries(${name} PRIVATE qv_mail)
