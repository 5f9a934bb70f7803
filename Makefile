# KVAL: kernel, boot loader, floppy image, host unit tests and system tests.
#
#   make            the floppy image build/kval.img, applications included
#   make apps       the applications of apps/, built with the SDK in sdk/
#   make run        boot it in QEMU
#   make test       build everything and run every test
#   make debug      QEMU halted with its GDB stub, and a gdb script
#   make screenshots  the handbook's pictures in docs/img, taken in QEMU
#   make test-bochs the main system tests again in Bochs (never part of make test)
#   make lint       clang-tidy and cppcheck over the kernel sources
#   make bench      benchmarks (never part of make test)
#   make fuzz       libFuzzer over the kernel sources, FUZZ_SECONDS (1200) per target (tests/fuzz)
#   make soak       the damaged-disk and storm tests, then 200 application load/kill
#                   cycles, 200 faulting starts,
#                   every processor exception once and 50 stack overflows,
#                   with mem's Used Size before and after (ROUNDS=n and
#                   OVERFLOWS=m to change)

SHELL := /bin/bash
BUILD := build

KERNEL_DIRS := boot display lib cpu mm drivers fs proc shell
KERNEL_CXX := $(sort $(wildcard $(addsuffix /*.cpp,$(KERNEL_DIRS))))
KERNEL_ASM := $(sort $(wildcard $(addsuffix /*.asm,$(KERNEL_DIRS))))

# The hardware primitives: replaced by the fakes of tests/fakes on the host.
HARDWARE_CXX := lib/port.cpp lib/cpu.cpp lib/physmem.cpp lib/compiler_support.cpp
# Code that only exists in the test build of the image.
TEST_KERNEL_CXX := $(sort $(wildcard tests/kernel/*.cpp))

CXX := g++
NASM := nasm
WARNINGS := -Wall -Wextra -Werror
KERNEL_CXXFLAGS := -std=c++20 -m32 -march=i686 -O2 -g $(WARNINGS) -I. \
    -ffreestanding -fno-exceptions -fno-rtti -nostdlib -fno-pic -fno-pie \
    -fno-stack-protector -fno-threadsafe-statics -fno-asynchronous-unwind-tables \
    -mgeneral-regs-only -fno-omit-frame-pointer
# The kernel is one flat image the loader maps writable: one RWX segment is intended.
KERNEL_LDFLAGS := -m32 -nostdlib -static -no-pie -Wl,--build-id=none -Wl,--no-warn-rwx-segments -T boot/kernel.ld

KERNEL_OBJS := $(patsubst %.cpp,$(BUILD)/kernel/%.o,$(KERNEL_CXX)) \
               $(patsubst %.asm,$(BUILD)/kernel/%.asm.o,$(KERNEL_ASM))
TEST_KERNEL_OBJS := $(patsubst %.cpp,$(BUILD)/kernel/%.o,$(TEST_KERNEL_CXX))

IMAGE := $(BUILD)/kval.img
TEST_IMAGE := $(BUILD)/test/kval.img
LOADER := $(BUILD)/loader/boot.bin $(BUILD)/loader/stage2.bin
DISK_FILES := $(shell find disk -type f 2>/dev/null)
# Pictures drawn at build time (the splash and the samples in pics/), copied
# onto the floppy beside the contents of disk/.
PICTURES_DIR := $(BUILD)/pictures
PICTURES := $(BUILD)/pictures.stamp
# Applications built from apps/ with the SDK, copied into a:\apps\.
APPS_DISK := $(BUILD)/apps/disk
APP_SOURCES := $(sort $(wildcard apps/*.cpp apps/*.asm))
APPS := $(patsubst apps/%,$(APPS_DISK)/apps/%.kvx,$(basename $(APP_SOURCES)))
# The system tests' programs: one per processor exception, and the
# floating-point and stack cases, all from apps/faults/raise.asm. They go
# onto the tests' own floppies, not this one.
FAULT_CASES := $(addprefix vec,00 01 02 03 04 05 06 07 08 09 10 11 12 13 14 16 17 18 19 30) mmx sse stkedge
FAULT_APPS := $(patsubst %,$(BUILD)/apps/faults/%.kvx,$(FAULT_CASES))
# The storm tests' programs (apps/storm): system calls and keys at random.
# They too go only onto the tests' own floppies.
STORM_APPS := $(patsubst apps/storm/%.cpp,$(BUILD)/apps/storm/%.kvx,$(wildcard apps/storm/*.cpp))
DISK_DIRS := disk $(PICTURES_DIR) $(APPS_DISK)

.PHONY: all image apps deps run debug test unit system test-bochs lint format bench soak clean
.DELETE_ON_ERROR:

all: image
image: deps $(IMAGE)
apps: deps $(APPS) $(FAULT_APPS) $(STORM_APPS)

deps:
	@tools/install-deps.sh

# --- kernel -----------------------------------------------------------------

$(BUILD)/kernel/%.o: %.cpp
	@mkdir -p $(dir $@)
	$(CXX) $(KERNEL_CXXFLAGS) -MMD -MP -c $< -o $@

$(BUILD)/kernel/%.asm.o: %.asm
	@mkdir -p $(dir $@)
	$(NASM) -f elf32 -g -F dwarf $< -o $@

$(BUILD)/kernel.elf: $(KERNEL_OBJS) boot/kernel.ld
	$(CXX) $(KERNEL_LDFLAGS) $(KERNEL_OBJS) -lgcc -o $@

$(BUILD)/test/kernel.elf: $(KERNEL_OBJS) $(TEST_KERNEL_OBJS) boot/kernel.ld
	@mkdir -p $(dir $@)
	$(CXX) $(KERNEL_LDFLAGS) $(KERNEL_OBJS) $(TEST_KERNEL_OBJS) -lgcc -o $@

%/kernel.bin: %/kernel.elf
	objcopy -O binary $< $@

# --- boot loader and floppy image --------------------------------------------

$(BUILD)/loader/%.bin: loader/%.asm $(wildcard loader/*.inc)
	@mkdir -p $(dir $@)
	$(NASM) -f bin -I loader/ $< -o $@

$(PICTURES): tools/mkpictures.py
	rm -rf $(PICTURES_DIR)
	/usr/bin/python3 tools/mkpictures.py $(PICTURES_DIR)
	touch $@

$(IMAGE): $(LOADER) $(BUILD)/kernel.bin $(DISK_FILES) $(PICTURES) $(APPS) tools/mkimage.sh
	tools/mkimage.sh $@ $(LOADER) $(BUILD)/kernel.bin $(DISK_DIRS)

$(TEST_IMAGE): $(LOADER) $(BUILD)/test/kernel.bin $(DISK_FILES) $(PICTURES) $(APPS) tools/mkimage.sh
	tools/mkimage.sh $@ $(LOADER) $(BUILD)/test/kernel.bin $(DISK_DIRS)

# --- applications -------------------------------------------------------------

# Freestanding, like the kernel: no library but what sdk/start.cpp brings and
# libgcc for 64-bit arithmetic.
APP_CXXFLAGS := -std=c++20 -m32 -march=i686 -O2 $(WARNINGS) -Isdk -mgeneral-regs-only \
    -ffreestanding -fno-exceptions -fno-rtti -nostdlib -fno-pic -fno-pie \
    -fno-stack-protector -fno-threadsafe-statics -fno-asynchronous-unwind-tables
APP_LDFLAGS := -m32 -nostdlib -static -no-pie -Wl,--build-id=none -Wl,--no-warn-rwx-segments -T sdk/app.ld
SDK_OBJS := $(BUILD)/apps/sdk/header.o $(BUILD)/apps/sdk/start.o

$(BUILD)/apps/sdk/header.o: sdk/header.asm
	@mkdir -p $(dir $@)
	$(NASM) -f elf32 $< -o $@

$(BUILD)/apps/sdk/start.o: sdk/start.cpp sdk/kval.h
	@mkdir -p $(dir $@)
	$(CXX) $(APP_CXXFLAGS) -c $< -o $@

$(BUILD)/apps/obj/%.o: apps/%.cpp sdk/kval.h
	@mkdir -p $(dir $@)
	$(CXX) $(APP_CXXFLAGS) -c $< -o $@

# Kept for gdb and objdump: the ELF has the symbols the .kvx lacks.
.PRECIOUS: $(BUILD)/apps/obj/%.o $(BUILD)/apps/obj/%.elf
$(BUILD)/apps/obj/%.elf: $(BUILD)/apps/obj/%.o $(SDK_OBJS) sdk/app.ld
	$(CXX) $(APP_LDFLAGS) $(SDK_OBJS) $< -lgcc -o $@

$(APPS_DISK)/apps/%.kvx: $(BUILD)/apps/obj/%.elf sdk/checkkvx.py
	@mkdir -p $(dir $@)
	objcopy -O binary $< $@
	sdk/checkkvx.py $@

$(APPS_DISK)/apps/%.kvx: apps/%.asm sdk/kval.inc sdk/checkkvx.py
	@mkdir -p $(dir $@)
	$(NASM) -f bin -I sdk/ $< -o $@
	sdk/checkkvx.py $@

$(BUILD)/apps/storm/%.kvx: $(BUILD)/apps/obj/storm/%.elf sdk/checkkvx.py
	@mkdir -p $(dir $@)
	objcopy -O binary $< $@
	sdk/checkkvx.py $@

$(BUILD)/apps/faults/%.kvx: apps/faults/raise.asm sdk/kval.inc sdk/checkkvx.py
	@mkdir -p $(dir $@)
	$(NASM) -f bin -I sdk/ -DFAULT=$* $< -o $@
	sdk/checkkvx.py $@

# --- host unit tests ----------------------------------------------------------

GTEST_DIR := /usr/src/googletest/googletest
# Kernel sources at -O1, as close to the image's code as the sanitizers
# allow; the tests themselves at -O0, which compiles GoogleTest's templates
# three times faster.
HOST_OPT := -O1
HOST_CXXFLAGS = -std=c++20 -m32 $(HOST_OPT) -g $(WARNINGS) -I. -Itests -DKVAL_HOST \
    -isystem $(GTEST_DIR)/include -fno-omit-frame-pointer \
    -fsanitize=address,undefined -fno-sanitize-recover=undefined
HOST_KERNEL_CXX := $(filter-out $(HARDWARE_CXX),$(KERNEL_CXX))
HOST_KERNEL_OBJS := $(patsubst %.cpp,$(BUILD)/host/%.o,$(HOST_KERNEL_CXX))
UNIT_CXX := $(sort $(wildcard tests/unit/*.cpp tests/fakes/*.cpp))
UNIT_OBJS := $(patsubst %.cpp,$(BUILD)/host/%.o,$(UNIT_CXX))
UNIT_BIN := $(BUILD)/host/unit_tests
$(UNIT_OBJS): HOST_OPT := -O0

$(BUILD)/host/%.o: %.cpp
	@mkdir -p $(dir $@)
	$(CXX) $(HOST_CXXFLAGS) -MMD -MP -c $< -o $@

$(BUILD)/host/gtest/%.o: $(GTEST_DIR)/src/%.cc
	@mkdir -p $(dir $@)
	$(CXX) -std=c++20 -m32 -O0 -g -isystem $(GTEST_DIR)/include -I$(GTEST_DIR) -c $< -o $@

$(BUILD)/host/libgtest.a: $(BUILD)/host/gtest/gtest-all.o $(BUILD)/host/gtest/gtest_main.o
	ar rcs $@ $^

$(BUILD)/host/libkval.a: $(HOST_KERNEL_OBJS)
	@rm -f $@
	ar rcs $@ $^

$(UNIT_BIN): $(UNIT_OBJS) $(BUILD)/host/libkval.a $(BUILD)/host/libgtest.a
	$(CXX) -m32 -fsanitize=address,undefined $(UNIT_OBJS) $(BUILD)/host/libkval.a \
	    $(BUILD)/host/libgtest.a -lpthread -o $@

unit: deps $(UNIT_BIN)
	ASAN_OPTIONS=detect_leaks=0 tools/run32.sh $(UNIT_BIN) $(if $(FILTER),--gtest_filter='$(FILTER)')

# --- system tests in QEMU -----------------------------------------------------

# One QEMU per core: each test module runs whole on one worker, so the
# machines a module shares are booted once. The damaged-disk and storm
# modules take minutes; make soak runs them (make system too).
SOAK_MODULES := test_damaged_disks.py test_storms.py
PYTEST_JOBS := -n $(shell nproc) --dist loadfile

system: deps $(IMAGE) $(TEST_IMAGE) $(FAULT_APPS) $(STORM_APPS)
	cd tests/system && /usr/bin/python3 -m pytest -q $(PYTEST_JOBS) $(if $(K),-k '$(K)') .

# Everything the tests need is built first, one compiler per core.
test: deps
	@$(MAKE) --no-print-directory -j$(shell nproc) $(IMAGE) $(TEST_IMAGE) $(FAULT_APPS) $(UNIT_BIN)
	tools/unit-tests.sh $(UNIT_BIN) --gtest_brief=1
	@$(MAKE) --no-print-directory fuzz-replay
	cd tests/system && /usr/bin/python3 -m pytest -q $(PYTEST_JOBS) $(addprefix --ignore=,$(SOAK_MODULES)) .

# --- system tests in Bochs ----------------------------------------------------

# A second, stricter PC: the release image booted in Bochs with the settings
# of bochsrc.txt (tests/system/bochs.py). -rP shows the boot times.
test-bochs: deps $(IMAGE)
	@tools/install-deps.sh bochs
	cd tests/bochs && /usr/bin/python3 -m pytest -q -rP $(if $(K),-k '$(K)') .

# --- running and debugging -----------------------------------------------------

QEMU := qemu-system-i386
QEMU_ARGS := -drive file=$(IMAGE),if=floppy,format=raw -boot a -m 32 \
    -audiodev none,id=snd0 -machine pcspk-audiodev=snd0
QEMU_DISPLAY := $(if $(DISPLAY),,-display curses)

run: image
	@tools/install-deps.sh $(if $(DISPLAY),gui)
	$(QEMU) $(QEMU_ARGS) $(QEMU_DISPLAY)

debug: image
	@echo "QEMU waits for gdb on :1234. In another terminal: gdb -x $(BUILD)/kval.gdb"
	@printf 'file %s\ntarget remote :1234\nbreak kernel_main\n' $(abspath $(BUILD)/kernel.elf) > $(BUILD)/kval.gdb
	$(QEMU) $(QEMU_ARGS) $(QEMU_DISPLAY) -s -S

# --- the handbook's screenshots ---------------------------------------------------

# docs/img/*.png, taken from the release image in QEMU by tools/screenshots.py;
# the same system gives the same files byte for byte.
.PHONY: screenshots
screenshots: image
	/usr/bin/python3 tools/screenshots.py $(IMAGE) docs/img

# --- quality -------------------------------------------------------------------

LINT_CXX := $(KERNEL_CXX)
lint: deps
	clang-tidy --quiet $(LINT_CXX) -- $(filter-out -mgeneral-regs-only -march=i686,$(KERNEL_CXXFLAGS))
	cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ -I. \
	    --enable=warning,performance,portability --inline-suppr \
	    --suppress=missingIncludeSystem $(LINT_CXX)

format:
	clang-format -i $(KERNEL_CXX) $(wildcard $(addsuffix /*.h,$(KERNEL_DIRS))) \
	    $(wildcard tests/unit/*.cpp tests/fakes/*.cpp tests/fakes/*.h tests/kernel/*.cpp apps/*.cpp apps/storm/*.cpp sdk/*.cpp sdk/*.h \
	    tests/fuzz/*.cpp tests/fuzz/support/*.cpp tests/fuzz/support/*.h)

# The benchmark's second kernel: the floppy driver without read-ahead, so that
# make bench measures what read-ahead gains on the same machine in the same
# run. Its own objects, so the normal build is never touched.
NO_READ_AHEAD := $(BUILD)/bench-noreadahead
NO_READ_AHEAD_IMAGE := $(NO_READ_AHEAD)/kval.img
NO_READ_AHEAD_OBJS := $(patsubst $(BUILD)/kernel/%,$(NO_READ_AHEAD)/kernel/%,$(KERNEL_OBJS))

$(NO_READ_AHEAD)/kernel/%.o: %.cpp
	@mkdir -p $(dir $@)
	$(CXX) $(KERNEL_CXXFLAGS) -DKVAL_NO_READ_AHEAD -MMD -MP -c $< -o $@

$(NO_READ_AHEAD)/kernel/%.asm.o: %.asm
	@mkdir -p $(dir $@)
	$(NASM) -f elf32 -g -F dwarf $< -o $@

$(NO_READ_AHEAD)/kernel.elf: $(NO_READ_AHEAD_OBJS) boot/kernel.ld
	$(CXX) $(KERNEL_LDFLAGS) $(NO_READ_AHEAD_OBJS) -lgcc -o $@

$(NO_READ_AHEAD_IMAGE): $(LOADER) $(NO_READ_AHEAD)/kernel.bin $(DISK_FILES) $(PICTURES) $(APPS) tools/mkimage.sh
	tools/mkimage.sh $@ $(LOADER) $(NO_READ_AHEAD)/kernel.bin $(DISK_DIRS)

HEAP_BENCH := $(BUILD)/host/heap_bench
# The heap reaches fatal_error, and through it the loader and the drivers,
# whose interrupt stubs the host has only as stand-ins.
$(HEAP_BENCH): $(BUILD)/host/tests/bench/heap_bench.o $(BUILD)/host/tests/fakes/fake_hw.o \
    $(BUILD)/host/tests/fakes/isr_stubs.o $(BUILD)/host/libkval.a
	$(CXX) -m32 -fsanitize=address,undefined $^ -o $@

bench: deps $(IMAGE) $(NO_READ_AHEAD_IMAGE) $(TEST_IMAGE) $(HEAP_BENCH)
	tools/bench.sh

soak: deps $(IMAGE) $(FAULT_APPS) $(STORM_APPS)
	cd tests/system && /usr/bin/python3 -m pytest -q $(SOAK_MODULES)
	/usr/bin/python3 tools/soak.py $(if $(ROUNDS),--rounds $(ROUNDS)) $(if $(OVERFLOWS),--overflows $(OVERFLOWS))

clean:
	rm -rf $(BUILD)

include tests/fuzz/fuzz.mk

-include $(shell find $(BUILD) -name '*.d' 2>/dev/null)
