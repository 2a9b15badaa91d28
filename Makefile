# make test  - set everything up (Debian packages, FFmpeg, .venv, the extension) and run the tests
# make demo  - the same set-up, then decode the sample clip that ships with the repo
# make test-asan - the whole suite against an AddressSanitizer + UBSan build of the extension
# make bench - the module against PyAV, decord, torchcodec, OpenCV and the ffmpeg tool (bench/harness.py;
#   BENCH_ARGS=--quick: short; BENCH_ARGS="--only audio,scan,timestamps,transforms": ours' own costs)
# make bench-video - decode_video against a C++ decode + sws_scale loop on 10 s of 1080p
# make wheel - the installable abi3 wheel, FFmpeg inside, into dist/ (scripts/build-wheel.sh)
# make sdist - the source distribution into dist/
# make check-wheel - the wheel installed into a fresh venv per CPython 3.10-3.13, tested there
# make bench-ray - avarray.ray.read_frames against ray.data.read_videos (bench/ray_frames.py)
# make fuzz - the libFuzzer harness fuzz/engine_fuzzer.cpp for FUZZ_SECONDS (default 60)
#
# FFMPEG=7.1, 8.1 or 9.0 (default 9.0) picks the FFmpeg of every target. Each version has
# its own FFmpeg builds, extension builds and reference tools under build/ffmpeg-VERSION/,
# so switching rebuilds nothing that is up to date.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
FFMPEG_VERSIONS := 7.1 8.1 9.0
FFMPEG ?= 9.0
ifneq ($(words $(FFMPEG)) $(filter $(FFMPEG),$(FFMPEG_VERSIONS)),1 $(FFMPEG))
$(error FFMPEG=$(FFMPEG) is not a known FFmpeg version; known: $(FFMPEG_VERSIONS))
endif
FF := $(BUILD)/ffmpeg-$(FFMPEG)
# The project's own builds treat warnings as errors; a build from the sdist does not.
WERROR := --config-settings=cmake.define.AVARRAY_WERROR=ON
SOURCES := $(shell find src cmake python -type f) CMakeLists.txt pyproject.toml
PKG_ENV = export PKG_CONFIG_PATH="$$(cat $(FF)/prefix)/lib/pkgconfig"

.PHONY: all setup test demo test-asan media clean bench bench-video wheel sdist check-wheel bench-ray \
  fuzz
all: setup

setup: $(FF)/module/.built media

$(BUILD)/.system: scripts/setup-system.sh
	scripts/setup-system.sh
	@mkdir -p $(BUILD) && touch $@

# One FFmpeg build of the FFMPEG version with the extra configure options $(1); the file
# made holds its prefix.
define ffmpeg_build
@mkdir -p $(FF)
AVARRAY_FFMPEG_EXTRA_FLAGS="$(1)" scripts/setup-ffmpeg.sh $(FFMPEG) > $@.tmp && \
  tail -n 1 $@.tmp > $@ && rm -f $@.tmp
endef

# FFmpeg of the FFMPEG version, built once: the shared libraries the extension links (and
# the wheel carries) and, from the same build, the reference tools ffmpeg and ffprobe with
# what the tests and the benchmark need besides (libavfilter and its filters, libavdevice,
# the raw encoders and muxers; the extension links neither of the first two and uses none of
# the rest). The benchmark's torchcodec links these libraries too.
FFMPEG_FLAGS := --enable-ffmpeg --enable-ffprobe --enable-avfilter --enable-avdevice --enable-filters \
  --enable-encoder=rawvideo,wrapped_avframe,pcm_f32le,pcm_s16le \
  --enable-muxer=rawvideo,framemd5,framecrc,md5,null,pcm_f32le,pcm_s16le,wav --enable-rpath
$(FF)/prefix: $(BUILD)/.system scripts/setup-ffmpeg.sh
	$(call ffmpeg_build,$(FFMPEG_FLAGS))
TOOLS_ENV = AVARRAY_REFERENCE_TOOLS="$$(cat $(FF)/prefix)/bin"

$(VENV)/.deps: requirements-dev.txt requirements-test.txt
	[ -x $(VPY) ] || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

# The extension of one FFmpeg version, built in place by CMake; the tests, the demo and the
# Ray benchmark import it (and the avarray package) from the source tree.
define extension_build
$(PKG_ENV); PATH="$(CURDIR)/$(VENV)/bin:$$PATH"; \
  cmake -S . -B $(1) -G Ninja -DAVARRAY_WERROR=ON -DCMAKE_BUILD_TYPE=$(2) $(3) \
    -DPython_EXECUTABLE=$(CURDIR)/$(VPY) > /dev/null && \
  cmake --build $(1)
@# A module of an earlier, per-version build would be imported before the abi3 one.
find $(1) -maxdepth 1 -name '_av.*.so' ! -name '_av.abi3.so' -delete
endef
$(FF)/module/.built: $(VENV)/.deps $(FF)/prefix $(SOURCES)
	$(call extension_build,$(FF)/module,Release,)
	touch $@

media: $(BUILD)/media/.complete
$(BUILD)/media/.complete: scripts/make-test-media.sh $(BUILD)/.system
	scripts/make-test-media.sh $(BUILD)/media
	touch $@

# The module under test and the reference tools of the same FFmpeg version.
RUN_ENV = PYTHONPATH=$(CURDIR)/$(1):$(CURDIR)/python $(TOOLS_ENV)
test: setup
	$(call RUN_ENV,$(FF)/module) $(VPY) -m pytest -q

demo: setup
	$(call RUN_ENV,$(FF)/module) $(VPY) scripts/demo.py samples/sample.mp4

$(FF)/asan/.built: $(VENV)/.deps $(FF)/prefix $(SOURCES)
	$(call extension_build,$(FF)/asan,RelWithDebInfo,-DAVARRAY_SANITIZE=ON)
	touch $@

# Python itself is not built with the sanitizers, so the runtimes are preloaded. Leak
# checking is off (the interpreter keeps much alive at exit); leaks are covered by the
# tests that loop over opens with flat memory.
ASAN_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  $(call RUN_ENV,$(FF)/asan)
test-asan: $(FF)/asan/.built media
	$(ASAN_ENV) $(VPY) -c 'import _av; assert "/$(FF)/asan/" in _av.__file__, _av.__file__'
	$(ASAN_ENV) $(VPY) -m pytest -q -p no:cacheprovider

# The limit program links the same FFmpeg libraries as the extension.
$(FF)/bench/limit: bench/limit.cpp $(FF)/prefix
	@mkdir -p $(FF)/bench
	$(PKG_ENV); libs="libavformat libavcodec libswscale libavutil"; \
	  $(CXX) -O2 -std=c++20 -Wall -Wextra -o $@ $< $$(pkg-config --cflags $$libs) \
	    $$(pkg-config --libs $$libs) -Wl,-rpath,$$(pkg-config --variable=libdir libavcodec) \
	    -Wl,--disable-new-dtags

# Preloaded into the benchmark's counting worker: seeks, decoded frames, allocations, set-ups.
$(FF)/bench/counting.so: bench/counting.c $(FF)/prefix
	@mkdir -p $(FF)/bench
	$(PKG_ENV); libs="libavformat libavcodec libswscale libavutil"; \
	  $(CC) -O2 -shared -fPIC -Wall -Wextra -Werror -o $@ $< $$(pkg-config --cflags $$libs) -ldl

bench-video: setup $(FF)/bench/limit $(FF)/bench/counting.so
	$(call RUN_ENV,$(FF)/module) $(BENCH_ENV) $(VPY) bench/harness.py --only video --tools avarray
BENCH_VENV := .venv-bench
BENCH_ARGS ?=
# The limit, the counting library, and the reference tools (whose libraries torchcodec
# loads too) of the same FFmpeg version as the module.
BENCH_ENV = AVARRAY_LIMIT=$(FF)/bench/limit AVARRAY_COUNTING=$(FF)/bench/counting.so $(TOOLS_ENV)
bench: $(BENCH_VENV)/.avarray $(FF)/bench/limit $(FF)/bench/counting.so
	$(BENCH_ENV) $(BENCH_VENV)/bin/python bench/harness.py $(BENCH_ARGS)

$(BENCH_VENV)/.peers: bench/setup-peers.sh
	bench/setup-peers.sh $(BENCH_VENV)
	touch $@

# The module in the benchmark's environment: the wheel that users install.
$(BENCH_VENV)/.avarray: $(FF)/.wheel $(BENCH_VENV)/.peers
	$(BENCH_VENV)/bin/python -m pip install -q --force-reinstall --no-deps dist/avarray-*.whl
	echo $(FFMPEG) > $@

# The wheel: built with the development environment's tools, then repaired by auditwheel.
wheel: $(FF)/.wheel
$(FF)/.wheel: $(VENV)/.deps $(FF)/prefix $(SOURCES) scripts/build-wheel.sh \
    scripts/bundle-licenses.py README.md
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" scripts/build-wheel.sh $(VPY) $$(cat $(FF)/prefix)
	rm -f $(BUILD)/ffmpeg-*/.wheel
	touch $@

sdist: $(VENV)/.deps
	rm -f dist/avarray-*.tar.gz
	$(VPY) -c 'from scikit_build_core.build import build_sdist; print(build_sdist("dist"))'

check-wheel: $(FF)/.wheel media
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(TOOLS_ENV) scripts/check-wheel.sh $$(cat $(FF)/prefix)

# ray.data.read_videos decodes with decord, which only the benchmark needs.
$(VENV)/.decord: $(VENV)/.deps
	$(VPY) -m pip install -q decord==0.6.0
	touch $@

bench-ray: setup $(VENV)/.decord
	$(call RUN_ENV,$(FF)/module) $(VPY) bench/ray_frames.py

# The fuzzer, on the FFmpeg version FFMPEG names: the engine (src/ffmpeg, which needs no
# Python) and the harness, built with
# clang's libFuzzer, AddressSanitizer and UBSan against a static FFmpeg of the same
# options built for it: with coverage
# instrumentation (so that mutations are guided through the demuxers and decoders,
# where nearly all the work on an input happens) and AddressSanitizer (so that a bad
# read inside FFmpeg caused by how the engine drives it is seen where it happens).
# FFmpeg itself is not built with UBSan: its codecs have arithmetic that UBSan reports
# and that is FFmpeg's own to fix.
FUZZ_SECONDS ?= 60
FUZZ_CXX := clang++-14
FUZZ_FFMPEG_FLAGS := --cc=clang-14 --cxx=clang++-14 --enable-static --disable-shared \
  --optflags=-O1 --disable-stripping --extra-cflags=-fsanitize=address,fuzzer-no-link \
  --extra-cflags=-fno-omit-frame-pointer --extra-cflags=-gline-tables-only \
  --extra-ldflags=-fsanitize=address
ENGINE_SOURCES := $(shell find src/ffmpeg -name '*.cpp')

$(BUILD)/.fuzz-system: scripts/setup-system.sh
	scripts/setup-system.sh fuzz
	@mkdir -p $(BUILD) && touch $@

$(FF)/fuzz-prefix: $(BUILD)/.system $(BUILD)/.fuzz-system scripts/setup-ffmpeg.sh
	$(call ffmpeg_build,$(FUZZ_FFMPEG_FLAGS))

$(FF)/fuzz/engine_fuzzer: fuzz/engine_fuzzer.cpp $(ENGINE_SOURCES) $(shell find src/ffmpeg -name '*.hpp') \
    $(FF)/fuzz-prefix
	@mkdir -p $(FF)/fuzz
	export PKG_CONFIG_PATH="$$(cat $(FF)/fuzz-prefix)/lib/pkgconfig"; \
	  libs="libavformat libavcodec libswscale libswresample libavutil"; \
	  $(FUZZ_CXX) -std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wextra -Werror \
	    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc \
	    $$(pkg-config --cflags $$libs) -o $@ fuzz/engine_fuzzer.cpp $(ENGINE_SOURCES) \
	    $$(pkg-config --static --libs $$libs)

# New inputs go to build/fuzz/corpus (seeded with the small test clips); findings to
# build/fuzz/findings. A finding's input, once fixed, joins fuzz/regressions, which the
# run reads as seeds and tests/test_untrusted_input.py replays through the module.
fuzz: $(FF)/fuzz/engine_fuzzer media
	@mkdir -p $(BUILD)/fuzz/corpus $(BUILD)/fuzz/findings
	find $(BUILD)/media -type f -size -64k ! -name '.*' -exec cp -n {} $(BUILD)/fuzz/corpus/ \;
	cd $(BUILD)/fuzz && $(CURDIR)/$(FF)/fuzz/engine_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -rss_limit_mb=2048 -max_len=65536 -dict=$(CURDIR)/fuzz/media.dict \
	  -artifact_prefix=findings/ -print_final_stats=1 corpus $(CURDIR)/fuzz/regressions

clean:
	rm -rf $(BUILD) $(VENV) $(BENCH_VENV) dist
