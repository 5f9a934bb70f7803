# libFuzzer targets over the real kernel sources (tests/fuzz), included by
# the Makefile. Built with Debian's clang, -m32 (see FUZZ_BITS), AddressSanitizer and UBSan,
# against the fakes of tests/fakes, an in-memory disk in place of the
# floppy driver and the host's allocator in place of the kernel heap
# (tests/fuzz/support).
#
#   make fuzz          every target for FUZZ_SECONDS (1200) each, corpora in
#                      build/fuzzNN/corpus/, seeded from tests/fuzz/corpus/
#   make fuzz-replay   every target once over its committed corpus (seconds)
#   FUZZ_TARGETS='fuzz_bmp fuzz_fat12' selects some.

FUZZ_CXX := clang++
# -m32, as the kernel is, where this machine runs 32-bit programs. Where it
# runs them only under qemu-i386 (tools/run32.sh), ASan's allocator there
# fails after a few thousand runs (a CHECK in asan_poisoning.cpp) and
# libFuzzer finds no files in a folder, so the targets are built -m64 and run
# natively: the host build of the kernel sources goes through uintptr_t and
# compiles for either. FUZZ_BITS=32 or 64 chooses.
FUZZ_BITS ?= $(shell /lib/ld-linux.so.2 --version >/dev/null 2>&1 && echo 32 || echo 64)
FUZZ_DIR := $(BUILD)/fuzz$(FUZZ_BITS)
FUZZ_SECONDS ?= 1200
FUZZ_SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=undefined
FUZZ_COVERAGE := -fsanitize=fuzzer-no-link
FUZZ_CXXFLAGS = -std=c++20 -m$(FUZZ_BITS) -O1 -g $(WARNINGS) -I. -Itests -Itests/fuzz -DKVAL_HOST \
    -fno-omit-frame-pointer $(FUZZ_SANITIZE) $(FUZZ_COVERAGE)
# The floppy driver and the kernel heap are replaced by the support code.
FUZZ_KERNEL_CXX := $(filter-out drivers/floppy.cpp mm/heap.cpp,$(HOST_KERNEL_CXX))
FUZZ_KERNEL_OBJS := $(patsubst %.cpp,$(FUZZ_DIR)/obj/%.o,$(FUZZ_KERNEL_CXX))
FUZZ_FAKES := tests/fakes/fake_hw.cpp tests/fakes/isr_stubs.cpp tests/fakes/fake_vga.cpp \
    tests/fakes/kernel_memory.cpp tests/fakes/processes.cpp
FUZZ_SUPPORT_OBJS := $(patsubst %.cpp,$(FUZZ_DIR)/obj/%.o,$(FUZZ_FAKES) $(sort $(wildcard tests/fuzz/support/*.cpp)))
FUZZ_TARGETS ?= $(basename $(notdir $(sort $(wildcard tests/fuzz/fuzz_*.cpp))))
FUZZ_BINS := $(addprefix $(FUZZ_DIR)/,$(FUZZ_TARGETS))
# Leaks are the host heap's to find (support/host_heap.h), under qemu-i386 too:
# LeakSanitizer is off, and so is libFuzzer's leak check, which would run
# again every input with more mallocs than frees.
FUZZ_ENV := ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:symbolize=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
FUZZ_FLAGS = -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -detect_leaks=0 \
    $(if $(FUZZ_MAX_LEN_$(1)),-max_len=$(FUZZ_MAX_LEN_$(1))) \
    $(if $(wildcard tests/fuzz/$(1).dict),-dict=tests/fuzz/$(1).dict)
FUZZ_MAX_LEN_fuzz_fat12 := 20000
FUZZ_MAX_LEN_fuzz_bmp := 20000
FUZZ_MAX_LEN_fuzz_exe := 9000
FUZZ_MAX_LEN_fuzz_acpi := 8192
# A format of 1 KiB already scrolls the console many times over (every \n is
# a line, a %s up to 63 bytes); at libFuzzer's default of 4 KiB the runs only
# got longer (2,600 a second instead of 10,000) and reached no more code.
FUZZ_MAX_LEN_fuzz_printf := 1024

.PHONY: fuzz fuzz-build fuzz-replay

# The fakes and the support code are not under test: without coverage their
# maps and port bus cost a fraction (they took most of fuzz_bmp's time).
$(FUZZ_SUPPORT_OBJS): FUZZ_COVERAGE :=

# lib/string.cpp without coverage (its loops are no coverage worth having),
# and its mem_copy and mem_set weak: tests/fuzz/support/fast_string.cpp
# takes their place (why there).
$(FUZZ_DIR)/obj/lib/string.o: FUZZ_COVERAGE :=
$(FUZZ_DIR)/obj/lib/string.o: lib/string.cpp
	@mkdir -p $(dir $@)
	$(FUZZ_CXX) $(FUZZ_CXXFLAGS) -MMD -MP -c $< -o $@
	objcopy --weaken-symbol=_Z8mem_copyPvPKvj --weaken-symbol=_Z7mem_setPvhj $@

$(FUZZ_DIR)/obj/%.o: %.cpp
	@mkdir -p $(dir $@)
	$(FUZZ_CXX) $(FUZZ_CXXFLAGS) -MMD -MP -c $< -o $@

$(FUZZ_DIR)/libkval.a: $(FUZZ_KERNEL_OBJS)
	@rm -f $@
	ar rcs $@ $^

$(FUZZ_DIR)/fuzz_%: $(FUZZ_DIR)/obj/tests/fuzz/fuzz_%.o $(FUZZ_SUPPORT_OBJS) $(FUZZ_DIR)/libkval.a
	$(FUZZ_CXX) -m$(FUZZ_BITS) $(FUZZ_SANITIZE) -fsanitize=fuzzer $< $(FUZZ_SUPPORT_OBJS) $(FUZZ_DIR)/libkval.a -o $@

fuzz-build: deps
	@$(MAKE) --no-print-directory -j$(shell nproc) $(FUZZ_BINS)

# One target's run: its binary (32-bit ones under tools/run32.sh), its own flags.
fuzz_run = $(FUZZ_ENV) $(if $(filter 32,$(FUZZ_BITS)),tools/run32.sh) $(FUZZ_DIR)/$(1) $(call FUZZ_FLAGS,$(1))

fuzz-replay: fuzz-build
	@$(foreach t,$(FUZZ_TARGETS),echo "fuzz-replay $(t)" && \
	    { $(call fuzz_run,$(t)) -runs=0 $(wildcard tests/fuzz/corpus/$(t)/*) 2>$(FUZZ_DIR)/$(t).replay.log || \
	      { cat $(FUZZ_DIR)/$(t).replay.log; false; }; } &&) true

fuzz: fuzz-build
	@set -o pipefail; $(foreach t,$(FUZZ_TARGETS),mkdir -p $(FUZZ_DIR)/corpus/$(t) $(FUZZ_DIR)/artifacts/$(t) && \
	    echo "fuzz $(t) for $(FUZZ_SECONDS) s (log: $(FUZZ_DIR)/$(t).log)" && \
	    $(call fuzz_run,$(t)) -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=$(FUZZ_DIR)/artifacts/$(t)/ \
	        $(FUZZ_DIR)/corpus/$(t) tests/fuzz/corpus/$(t) 2>&1 | tee $(FUZZ_DIR)/$(t).log | \
	        grep --line-buffered -E 'pulse|DONE|INITED|ERROR|FINDING|stat::' &&) true

# Objects named only in the pattern rule above stay once built.
.SECONDARY: $(FUZZ_SUPPORT_OBJS) $(patsubst %,$(FUZZ_DIR)/obj/tests/fuzz/%.o,$(FUZZ_TARGETS))
