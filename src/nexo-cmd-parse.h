// Command interpreter: the GET and SET commands the daemon answers itself and channel
// addressing. The handlers are reached through the parse lists only.
//
// Handlers reply with one line on the reply link and return 0, or return a negative code and
// write nothing (the main loop then answers "ERROR\n"). Reply link 0xFFFFFFFF writes nowhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ip_rules.h"

namespace nexo {

struct nexo_cfg;
struct st2110_chan;

// --- Dispatcher ----------------------------------------------------------------------------

using cmd_handler = int32_t (*)(nexo_cfg* ctx, char* text, int32_t length, uint32_t nbr_args,
                                uint32_t reply_link);

inline constexpr uint32_t kAnyArgs = 0xFFFFFFFF;

struct parse_row {
    const char* keyword;  // null ends the list
    uint32_t nbr_args;
    cmd_handler handler;
};

// Runs one control line (length bytes, the last a line feed). 0 when carried out and answered,
// -1 for a bad line, or the handler's code.
int32_t process_input_cmd(nexo_cfg* ctx, char* line, int32_t length, uint32_t reply_link);
// The result of the first row whose keyword prefixes text and whose count matches, or -1.
int32_t nexo_parse_command(const parse_row* list, nexo_cfg* ctx, char* text, int32_t length,
                           uint32_t reply_link);
// Words of text (blanks: space and tab; ends at a zero byte or line feed) less one.
uint32_t count_args(const char* text);

// The channel named by the token after keyword, or null. tok (8 bytes, may lack a terminating
// zero) receives the token as written; *rest where the arguments after it begin.
st2110_chan* find_st2110_chan(const char* keyword, char* text, st2110_chan* chans, char* tok,
                              char** rest);
// The same for commands whose token is followed by the interface name; *net_if gets 0.
st2110_chan* find_st2110_chan_and_if(const char* keyword, char* text, st2110_chan* chans,
                                     uint8_t* net_if, char* tok, char** rest);
// Splits "name/state": 0, -1 (no '/' or empty name), -2 (no number after '/'). name gets at
// most name_size - 1 characters.
int32_t get_if_name_and_state(const char* pair, char* name, std::size_t name_size, uint8_t* state);
// "default" (any case) gives def; otherwise "%u". 0, or -1 leaving *value unchanged.
int32_t default_or_uint_val(const char* word, uint32_t* value, uint32_t def);

// Parses the address arguments of RX_IP_SRC/RX_IP_DEST into the working table. 0, or -1 no
// channel/interface, -2 arguments, -3 transport letter, -4 "self" without address,
// -5 not dotted, -6 refused address.
int32_t nexo_parse_ip_all(const char* keyword, char* text, uint32_t nbr_args, st2110_chan* chans,
                          uint32_t* pos, uint8_t* net_if);

extern const parse_row getcommand_parse_list[];
extern const parse_row setcommand_parse_list[];

}  // namespace nexo
