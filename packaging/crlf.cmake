# Copies a text file with Windows line ends (CRLF), for the Windows archive: Notepad before
# Windows 10 1809 shows a file with bare LF line ends as one long line.
# Usage: cmake -DIN=<file> -DOUT=<file> -P crlf.cmake
file(READ "${IN}" text)
# A file that already has CRLF line ends must not come out with CR CR LF.
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
