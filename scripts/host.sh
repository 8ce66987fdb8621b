# Sourced by the scripts that make or use virtual environments, so that they
# also run where a wheel is built and tested natively off Linux (macOS, and
# Windows under Git Bash or MSYS2): HOST is linux, macos or windows, and BIN
# the folder of a virtual environment that holds its python (Scripts on
# Windows).
case $(uname -s) in
Darwin) HOST=macos BIN=bin ;;
MINGW* | MSYS* | CYGWIN*) HOST=windows BIN=Scripts ;;
*) HOST=linux BIN=bin ;;
esac
