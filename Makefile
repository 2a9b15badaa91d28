# make test  - set everything up (Debian packages, FFmpeg 7, .venv, the extension) and run the tests
# make demo  - the same set-up, then decode the sample clip that ships with the repo
# make test-asan - the whole suite against an AddressSanitizer + UBSan build of the extension
# make bench - the module against PyAV, decord, torchcodec, OpenCV and the ffmpeg tool (bench/harness.py;
#   BENCH_ARGS=--quick: short; BENCH_ARGS="--only audio,scan,timestamps,transforms": ours' own costs)
# make bench-video - decode_video against a C++ decode + sws_scale loop on 10 s of 1080p
# make wheel - the installable abi3 wheel, FFmpeg inside, into dist/ (scripts/build-wheel.sh)
# make sdist - the source distribution into dist/
# make check-wheel - the wheel installed into a fresh venv per CPython 3.10-3.13, tested there
# make bench-ray - avarray.ray.read_frames against ray.data.read_videos (bench/ray_frames.py)
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
# The project's own builds treat warnings as errors; a build from the sdist does not.
WERROR := --config-settings=cmake.define.AVARRAY_WERROR=ON
SOURCES := $(shell find src cmake python -type f) CMakeLists.txt pyproject.toml
# Where the FFmpeg 7 pkg-config files are ("system" when the machine has FFmpeg 7 already).
PKG_ENV = prefix=$$(cat $(BUILD)/ffmpeg-prefix); \
  if [ "$$prefix" != system ]; then export PKG_CONFIG_PATH="$$prefix/lib/pkgconfig"; fi

.PHONY: all setup test demo test-asan media clean bench bench-video wheel sdist check-wheel bench-ray
all: setup

setup: $(VENV)/.installed media

$(BUILD)/.system: scripts/setup-system.sh
	scripts/setup-system.sh
	@mkdir -p $(BUILD) && touch $@

$(BUILD)/ffmpeg-prefix: $(BUILD)/.system scripts/setup-ffmpeg.sh
	scripts/setup-ffmpeg.sh > $@.tmp && tail -n 1 $@.tmp > $@ && rm -f $@.tmp

$(VENV)/.deps: requirements-dev.txt requirements-test.txt
	[ -x $(VPY) ] || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(BUILD)/ffmpeg-prefix $(SOURCES)
	$(PKG_ENV); PATH="$(CURDIR)/$(VENV)/bin:$$PATH" \
	  $(VPY) -m pip install -q --no-build-isolation --no-deps $(WERROR) .
	touch $@

media: $(BUILD)/media/.complete
$(BUILD)/media/.complete: scripts/make-test-media.sh $(BUILD)/.system
	scripts/make-test-media.sh $(BUILD)/media
	touch $@

test: setup
	$(VPY) -m pytest -q

demo: setup
	$(VPY) scripts/demo.py samples/sample.mp4

$(BUILD)/asan/.built: $(VENV)/.deps $(BUILD)/ffmpeg-prefix $(SOURCES)
	$(PKG_ENV); PATH="$(CURDIR)/$(VENV)/bin:$$PATH"; \
	  cmake -S . -B $(BUILD)/asan -G Ninja -DAVARRAY_SANITIZE=ON -DAVARRAY_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DPython_EXECUTABLE=$(CURDIR)/$(VPY) > /dev/null && \
	  cmake --build $(BUILD)/asan
	touch $@

# Python itself is not built with the sanitizers, so the runtimes are preloaded. Leak
# checking is off (the interpreter keeps much alive at exit); leaks are covered by the
# tests that loop over opens with flat memory.
ASAN_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH=$(BUILD)/asan
test-asan: $(BUILD)/asan/.built media
	$(ASAN_ENV) $(VPY) -c 'import _av; assert "/$(BUILD)/asan/" in _av.__file__, _av.__file__'
	$(ASAN_ENV) $(VPY) -m pytest -q -p no:cacheprovider

# The limit program links the same FFmpeg libraries as the extension.
$(BUILD)/bench/limit: bench/limit.cpp $(BUILD)/ffmpeg-prefix
	@mkdir -p $(BUILD)/bench
	$(PKG_ENV); libs="libavformat libavcodec libswscale libavutil"; \
	  $(CXX) -O2 -std=c++20 -Wall -Wextra -o $@ $< $$(pkg-config --cflags $$libs) \
	    $$(pkg-config --libs $$libs) -Wl,-rpath,$$(pkg-config --variable=libdir libavcodec) \
	    -Wl,--disable-new-dtags

# Preloaded into the benchmark's counting worker: seeks, decoded frames, allocations, set-ups.
$(BUILD)/bench/counting.so: bench/counting.c $(BUILD)/ffmpeg-prefix
	@mkdir -p $(BUILD)/bench
	$(PKG_ENV); libs="libavformat libavcodec libswscale libavutil"; \
	  $(CC) -O2 -shared -fPIC -Wall -Wextra -Werror -o $@ $< $$(pkg-config --cflags $$libs) -ldl

bench-video: setup $(BUILD)/bench/limit
	$(VPY) bench/harness.py --only video --tools avarray
BENCH_VENV := .venv-bench
BENCH_ARGS ?=
bench: $(BENCH_VENV)/.avarray $(BUILD)/ffmpeg-full-prefix $(BUILD)/bench/limit $(BUILD)/bench/counting.so
	$(BENCH_VENV)/bin/python bench/harness.py $(BENCH_ARGS)

$(BENCH_VENV)/.peers: bench/setup-peers.sh
	bench/setup-peers.sh $(BENCH_VENV)
	touch $@

# The module in the benchmark's environment: the wheel that users install.
$(BENCH_VENV)/.avarray: $(BUILD)/.wheel $(BENCH_VENV)/.peers
	$(BENCH_VENV)/bin/python -m pip install -q --force-reinstall --no-deps dist/avarray-*.whl
	touch $@

# torchcodec links libavfilter and libavdevice, which the module's FFmpeg leaves out: a second
# build of the same FFmpeg with them, cached beside the first, for torchcodec's process only.
$(BUILD)/ffmpeg-full-prefix: $(BUILD)/.system scripts/setup-ffmpeg.sh
	AVARRAY_FFMPEG_EXTRA_FLAGS="--enable-avfilter --enable-avdevice --enable-filters" \
	  scripts/setup-ffmpeg.sh > $@.tmp && tail -n 1 $@.tmp > $@ && rm -f $@.tmp

# The wheel: built with the development environment's tools, then repaired by auditwheel.
wheel: $(BUILD)/.wheel
$(BUILD)/.wheel: $(VENV)/.deps $(BUILD)/ffmpeg-prefix $(SOURCES) scripts/build-wheel.sh \
    scripts/bundle-licenses.py README.md
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" scripts/build-wheel.sh $(VPY) $$(cat $(BUILD)/ffmpeg-prefix)
	touch $@

sdist: $(VENV)/.deps
	rm -f dist/avarray-*.tar.gz
	$(VPY) -c 'from scikit_build_core.build import build_sdist; print(build_sdist("dist"))'

check-wheel: $(BUILD)/.wheel media
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" scripts/check-wheel.sh $$(cat $(BUILD)/ffmpeg-prefix)

# ray.data.read_videos decodes with decord, which only the benchmark needs.
$(VENV)/.decord: $(VENV)/.deps
	$(VPY) -m pip install -q decord==0.6.0
	touch $@

bench-ray: setup $(VENV)/.decord
	$(VPY) bench/ray_frames.py

clean:
	rm -rf $(BUILD) $(VENV) $(BENCH_VENV) dist
