# SPDX-License-Identifier: GPL-3.0-or-later
# Thin wrapper over build.sh, which installs what is missing and drives CMake.
.PHONY: all build demo test test-sanitize bench windows test-windows
all: build
build:
	./build.sh build
demo:
	./build.sh demo
test:
	./build.sh test
test-sanitize:
	./build.sh test-sanitize
bench:
	./build.sh bench
windows:
	./build.sh windows
test-windows:
	./build.sh test-windows
