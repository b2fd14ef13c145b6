// ncp_model: the node's control model as the control protocol shows it — a root block holding
// the device manager, the class manager and one receiver monitor per receive channel — with the
// descriptors of every class and datatype it uses, the generic property and sequence methods,
// the block searches, and the property-changed events its changes raise. No I/O: the protocol
// layer feeds it commands, the monitor poller feeds it statuses.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "board_control.h"
#include "rx_health.h"

namespace nexo::nmos::ncp {

using json = nlohmann::json;

// Method result statuses (the protocol's numbers).
namespace status {
inline constexpr int ok = 200;
inline constexpr int bad_command_format = 400;
inline constexpr int bad_oid = 404;
inline constexpr int readonly = 405;
inline constexpr int invalid_request = 406;
inline constexpr int buffer_overflow = 413;
inline constexpr int index_out_of_bounds = 414;
inline constexpr int parameter_error = 417;
inline constexpr int device_error = 500;
inline constexpr int method_not_implemented = 501;
inline constexpr int property_not_implemented = 502;
}  // namespace status

struct element_id {
    int level = 0;
    int index = 0;
    auto operator<=>(const element_id&) const = default;
};

// A property of an object changed: the protocol's PropertyChanged event (always ValueChanged).
struct property_event {
    std::uint32_t oid = 0;
    element_id property;
    json value;
};

// One field, parameter or property type: a datatype name ("" for any value), and whether the
// value is a sequence of it and may be null.
struct type_ref {
    std::string name;
    bool sequence = false;
    bool nullable = false;
};

struct field_def {
    std::string name;
    type_ref type;
};

struct datatype_def {
    std::string name;
    int kind = 0;                   // 0 primitive, 1 typedef, 2 struct, 3 enum
    std::string parent;             // typedef: the aliased type; struct: the parent struct or ""
    bool sequence = false;          // typedef of a sequence
    std::vector<field_def> fields;  // struct, own fields only
    std::vector<std::pair<std::string, int>> items;  // enum
};

struct property_def {
    element_id id;
    std::string name;
    type_ref type;
    bool readonly = true;
};

struct method_def {
    element_id id;
    std::string name;
    std::string result;
    std::vector<field_def> params;
};

struct event_def {
    element_id id;
    std::string name;
    std::string datatype;
};

struct class_def {
    std::vector<int> class_id;
    std::string name;
    std::string fixed_role;                // "" when none
    std::vector<property_def> properties;  // own elements only
    std::vector<method_def> methods;
    std::vector<event_def> events;
};

// Every class and datatype the node uses, read once from the model's definition text.
class catalogue {
  public:
    static const catalogue& get();

    const class_def* find_class(const std::vector<int>& class_id) const;
    const datatype_def* find_datatype(const std::string& name) const;
    const std::vector<class_def>& classes() const { return classes_; }
    const std::vector<datatype_def>& datatypes() const { return datatypes_; }

    // Descriptors as the class manager publishes them; with `inherited`, the elements (or
    // struct fields) of the ancestors come first.
    json class_descriptor(const class_def& c, bool inherited) const;
    json datatype_descriptor(const datatype_def& d, bool inherited) const;

    // Whether `v` is a value of `t`: primitives by JSON type and range, typedefs through
    // their parent, structs field by field (with their parents' fields), enums by item value.
    // `depth` bounds the recursion through nested structs.
    bool conforms(const json& v, const type_ref& t, int depth = 0) const;

    // The property of class `c` or its ancestors with this id; nullptr when none.
    const property_def* find_property(const class_def& c, element_id id) const;
    const method_def* find_method(const class_def& c, element_id id) const;

    // Parses the definition text; on a malformed line, false with the line in *why (the
    // program's own text, so this only fails for a faulty build; the tests pin it).
    bool parse(const char* text, std::string* why);

  private:
    std::vector<class_def> classes_;
    std::vector<datatype_def> datatypes_;
};

// A receiver monitor's statuses, as the client library's monitor reports them.
using monitor_values = client::rx_reported;

// What a client's Set or method call asks of a receiver monitor. Each returns the monitor's
// values after the change, which the model then shows (and raises events for); called without
// the model's lock held. An empty hook, or nullopt, leaves the model's own values.
struct monitor_hooks {
    std::function<std::optional<monitor_values>(std::size_t rx, std::uint32_t seconds)>
        set_reporting_delay;
    std::function<std::optional<monitor_values>(std::size_t rx, bool on)> set_auto_reset;
    std::function<std::optional<monitor_values>(std::size_t rx)> reset_counters_and_messages;
};

struct device_identity {
    std::string manufacturer;
    std::string product;
    std::string product_key;
    std::string version;  // the product's revision, e.g. "1.0.0"
    std::string serial;
    std::string label;  // the device's name until a controller sets another
};

// Object ids: fixed, so that a controller's saved oids stay valid across restarts.
inline constexpr std::uint32_t kRootOid = 1;
inline constexpr std::uint32_t kDeviceManagerOid = 2;
inline constexpr std::uint32_t kClassManagerOid = 3;
inline constexpr std::uint32_t kFirstMonitorOid = 10;  // + the receiver's index

class model {
  public:
    model(device_identity who, const std::array<std::string, kChannels.size()>& receiver_ids,
          monitor_hooks hooks);

    // Runs one method on one object and returns its NcMethodResult (status, and value or
    // errorMessage). Property changes it makes are appended to *events. Thread-safe.
    json invoke(std::uint32_t oid, element_id method, const json& arguments,
                std::vector<property_event>* events);

    bool has_object(std::uint32_t oid) const;

    // New statuses of receiver `rx`'s monitor; the properties that differ raise events.
    void update_monitor(std::size_t rx, const monitor_values& v,
                        std::vector<property_event>* events);

    // The role of receiver `rx`'s monitor in the root block ("rx-20-0").
    static std::string monitor_role(std::size_t rx);

  private:
    struct object {
        std::uint32_t oid;
        const class_def* cls;
        std::optional<std::uint32_t> owner;
        std::string role;
        std::map<element_id, json> values;   // every property of the class and its ancestors
        std::vector<std::uint32_t> members;  // blocks only
    };

    // A monitor's work outside the model's lock: the hook to run and the receiver it is for.
    struct follow_up {
        std::function<std::optional<monitor_values>()> run;
        std::size_t rx = 0;
    };

    object& add(std::uint32_t oid, const std::vector<int>& class_id, std::string role,
                std::optional<std::uint32_t> owner);
    json member_descriptor(const object& o) const;
    void collect(const object& block, bool recurse, const std::function<bool(const object&)>& match,
                 json* out) const;
    json call_object(object& o, const method_def& m, const json& args,
                     std::vector<property_event>* events, follow_up* after);
    json call_block(object& o, const method_def& m, const json& args);
    json call_class_manager(const method_def& m, const json& args);
    json call_monitor(object& o, const method_def& m, follow_up* after);
    void apply_monitor(object& o, const monitor_values& v, std::vector<property_event>* events);
    void set_value(object& o, element_id id, json v, std::vector<property_event>* events);

    const catalogue& cat_;
    monitor_hooks hooks_;
    mutable std::mutex mu_;
    std::map<std::uint32_t, object> objects_;
};

// Helpers for results.
json result_ok();
json result_value(json v);
json result_error(int status, const std::string& message);

}  // namespace nexo::nmos::ncp
