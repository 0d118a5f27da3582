// The Linux output file's own state (output_file.h draws its stages).
#pragma once

struct output_port_state {
    enum class stage { none, unnamed, temporary, named };
    stage at = stage::none;
};
