// The Windows output file's own state (output_file.h draws its stages).
#pragma once

struct output_port_state {
    enum class stage { none, temporary, named };
    stage at = stage::none;
    bool marked = false;  // removed by the system when its handle closes
};
