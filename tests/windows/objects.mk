# Compiles for Windows every source of the library and the check's own
# programs, as objects under $(OUT)/obj mirroring the tree. check.sh runs it:
#   make -f objects.mk -j JOBS ROOT=... OUT=... CXX=... CC=... \
#        CODEC_INCLUDE=... STATIC_DEFINES=... SOURCES=...
# An object is rebuilt when its source, a header of the tree it includes, this
# file or $(OUT)/flags (the compilers and definitions) changes.
COMMON := -O2 -DNDEBUG -ffp-contract=off -fno-fast-math -Wall -Wextra -Werror \
          -I$(ROOT)/include -I$(ROOT)/src -isystem $(CODEC_INCLUDE)
OBJECTS := $(SOURCES:%=$(OUT)/obj/%.o)

all: $(OBJECTS)

# The library's objects export its interface from the DLL, like the stand-in
# that is linked with them; the static program gets what the static target
# gives its users.
$(OUT)/obj/src/%: DEFINES := -DZV_BUILDING_LIBRARY
$(OUT)/obj/tests/windows/codec_stand_in.cpp.o: DEFINES := -DZV_BUILDING_LIBRARY
$(OUT)/obj/tests/windows/static_check.cpp.o: DEFINES := $(addprefix -D,$(STATIC_DEFINES))

$(OUT)/obj/%.cpp.o: $(ROOT)/%.cpp $(OUT)/flags $(MAKEFILE_LIST)
	@mkdir -p $(@D)
	@$(CXX) -std=c++20 $(COMMON) $(DEFINES) -MMD -MP -c $< -o $@

$(OUT)/obj/%.c.o: $(ROOT)/%.c $(OUT)/flags $(MAKEFILE_LIST)
	@mkdir -p $(@D)
	@$(CC) -std=c11 $(COMMON) $(DEFINES) -MMD -MP -c $< -o $@

-include $(OBJECTS:.o=.d)
