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
# make fuzz - the libFuzzer harness fuzz/engine_fuzzer.cpp for FUZZ_SECONDS (default 60)
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

.PHONY: all setup test demo test-asan media clean bench bench-video wheel sdist check-wheel bench-ray \
  fuzz
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
	@# A module of an earlier, per-version build would be imported before the abi3 one.
	find $(BUILD)/asan -maxdepth 1 -name '_av.*.so' ! -name '_av.abi3.so' -delete
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

# The fuzzer: the engine (src/ffmpeg without the file-like reader, the one file there that
# needs Python) and the harness, built with clang's libFuzzer, AddressSanitizer and
# UBSan against a static FFmpeg of the same options built for it: with coverage
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
ENGINE_SOURCES := $(filter-out src/ffmpeg/engine/object_reader.cpp,$(shell find src/ffmpeg -name '*.cpp'))

$(BUILD)/.fuzz-system: scripts/setup-system.sh
	scripts/setup-system.sh fuzz
	@mkdir -p $(BUILD) && touch $@

$(BUILD)/ffmpeg-fuzz-prefix: $(BUILD)/.system $(BUILD)/.fuzz-system scripts/setup-ffmpeg.sh
	AVARRAY_FFMPEG_EXTRA_FLAGS="$(FUZZ_FFMPEG_FLAGS)" \
	  scripts/setup-ffmpeg.sh > $@.tmp && tail -n 1 $@.tmp > $@ && rm -f $@.tmp

$(BUILD)/fuzz/engine_fuzzer: fuzz/engine_fuzzer.cpp $(ENGINE_SOURCES) $(shell find src/ffmpeg -name '*.hpp') \
    $(BUILD)/ffmpeg-fuzz-prefix
	@mkdir -p $(BUILD)/fuzz
	export PKG_CONFIG_PATH="$$(cat $(BUILD)/ffmpeg-fuzz-prefix)/lib/pkgconfig"; \
	  libs="libavformat libavcodec libswscale libswresample libavutil"; \
	  $(FUZZ_CXX) -std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wextra -Werror \
	    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc \
	    $$(pkg-config --cflags $$libs) -o $@ fuzz/engine_fuzzer.cpp $(ENGINE_SOURCES) \
	    $$(pkg-config --static --libs $$libs)

# New inputs go to build/fuzz/corpus (seeded with the small test clips); findings to
# build/fuzz/findings. A finding's input, once fixed, joins fuzz/regressions, which the
# run reads as seeds and tests/test_untrusted_input.py replays through the module.
fuzz: $(BUILD)/fuzz/engine_fuzzer media
	@mkdir -p $(BUILD)/fuzz/corpus $(BUILD)/fuzz/findings
	find $(BUILD)/media -type f -size -64k ! -name '.*' -exec cp -n {} $(BUILD)/fuzz/corpus/ \;
	cd $(BUILD)/fuzz && ./engine_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -rss_limit_mb=2048 -max_len=65536 -dict=$(CURDIR)/fuzz/media.dict \
	  -artifact_prefix=findings/ -print_final_stats=1 corpus $(CURDIR)/fuzz/regressions

clean:
	rm -rf $(BUILD) $(VENV) $(BENCH_VENV) dist
