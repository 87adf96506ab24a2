// The program's version.
#pragma once

// The version the package carries ("1.20"), from the project's one definition of it.
[[nodiscard]] const char* ProgramVersion();
