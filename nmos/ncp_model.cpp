#include "ncp_model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace nexo::nmos::ncp {

extern const char* const kDefinitions;

namespace {

// Property and method ids the model acts on itself.
constexpr element_id kClassIdProp{1, 1};
constexpr element_id kOidProp{1, 2};
constexpr element_id kConstantOidProp{1, 3};
constexpr element_id kOwnerProp{1, 4};
constexpr element_id kRoleProp{1, 5};
constexpr element_id kUserLabelProp{1, 6};
constexpr element_id kTouchpointsProp{1, 7};
constexpr element_id kRuntimeConstraintsProp{1, 8};
constexpr element_id kEnabledProp{2, 1};
constexpr element_id kMembersProp{2, 2};

// Receiver monitor properties, in the order of monitor_values.
constexpr element_id kOverall{3, 1};
constexpr element_id kOverallMessage{3, 2};
constexpr element_id kReportingDelay{3, 3};
constexpr element_id kAutoReset{4, 14};

// Nesting the type check follows before it gives up (the model's own types nest five deep).
constexpr int kMaxTypeDepth = 16;

json id_json(element_id id) {
    return {{"level", id.level}, {"index", id.index}};
}

json type_name(const type_ref& t) {
    return t.name.empty() ? json(nullptr) : json(t.name);
}

std::optional<type_ref> parse_type(std::string s) {
    type_ref t;
    if (!s.empty() && s.back() == '?') {
        t.nullable = true;
        s.pop_back();
    }
    if (s.size() > 2 && s.compare(s.size() - 2, 2, "[]") == 0) {
        t.sequence = true;
        s.resize(s.size() - 2);
    }
    if (s.empty()) {
        return std::nullopt;
    }
    t.name = s == "any" ? "" : s;
    return t;
}

json optional_string(const std::optional<std::string>& s) {
    return s ? json(*s) : json(nullptr);
}

// An argument as a plain value of the wanted JSON type; the caller checked the type already.
bool arg_bool(const json& args, const char* name) {
    auto it = args.find(name);
    return it != args.end() && it->is_boolean() && it->get<bool>();
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

json result_ok() {
    return {{"status", status::ok}};
}

json result_value(json v) {
    return {{"status", status::ok}, {"value", std::move(v)}};
}

json result_error(int code, const std::string& message) {
    return {{"status", code}, {"errorMessage", message}};
}

// ---- catalogue ----

const catalogue& catalogue::get() {
    static const catalogue c = [] {
        catalogue made;
        std::string why;
        if (!made.parse(kDefinitions, &why)) {
            std::fprintf(stderr, "nexo-nmos: control model definitions: %s\n", why.c_str());
            std::abort();
        }
        return made;
    }();
    return c;
}

bool catalogue::parse(const char* text, std::string* why) {
    std::istringstream in(text);
    std::string line;
    class_def* cls = nullptr;
    datatype_def* st = nullptr;
    // Elements and structs refer to each other by position while the vectors grow, so the
    // current one is found again by index.
    std::size_t cls_at = 0, st_at = 0;
    bool in_class = false, in_struct = false;
    auto fail = [&](const std::string& what) {
        *why = what + ": " + line;
        return false;
    };
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind;
        if (!(words >> kind)) {
            continue;
        }
        std::vector<std::string> w;
        for (std::string x; words >> x;) {
            w.push_back(x);
        }
        cls = in_class ? &classes_[cls_at] : nullptr;
        st = in_struct ? &datatypes_[st_at] : nullptr;
        if (kind == "class") {
            if (w.size() < 2 || w.size() > 3) {
                return fail("class needs an id and a name");
            }
            class_def c;
            std::istringstream ids(w[0]);
            for (std::string part; std::getline(ids, part, '.');) {
                c.class_id.push_back(std::atoi(part.c_str()));
            }
            c.name = w[1];
            c.fixed_role = w.size() == 3 ? w[2] : "";
            classes_.push_back(std::move(c));
            cls_at = classes_.size() - 1;
            in_class = true;
            in_struct = false;
        } else if (kind == "p" || kind == "m" || kind == "e") {
            if (cls == nullptr || w.size() < 2) {
                return fail("element outside a class or without a type");
            }
            const int level = static_cast<int>(cls->class_id.size());
            if (kind == "p") {
                auto t = parse_type(w[1]);
                if (!t || w.size() != 3 || (w[2] != "r" && w[2] != "w")) {
                    return fail("property needs a type and r or w");
                }
                int index = static_cast<int>(cls->properties.size()) + 1;
                cls->properties.push_back({{level, index}, w[0], *t, w[2] == "r"});
            } else if (kind == "m") {
                method_def m{{level, static_cast<int>(cls->methods.size()) + 1}, w[0], w[1], {}};
                for (std::size_t i = 2; i < w.size(); ++i) {
                    auto colon = w[i].find(':');
                    auto t = colon == std::string::npos ? std::nullopt
                                                        : parse_type(w[i].substr(colon + 1));
                    if (!t) {
                        return fail("method argument needs NAME:TYPE");
                    }
                    m.params.push_back({w[i].substr(0, colon), *t});
                }
                cls->methods.push_back(std::move(m));
            } else {
                int index = static_cast<int>(cls->events.size()) + 1;
                cls->events.push_back({{level, index}, w[0], w[1]});
            }
        } else if (kind == "primitive" && w.size() == 1) {
            datatypes_.push_back({w[0], 0, "", false, {}, {}});
            in_class = in_struct = false;
        } else if (kind == "typedef" && w.size() == 2) {
            auto t = parse_type(w[1]);
            if (!t || t->nullable) {
                return fail("typedef needs a type");
            }
            datatypes_.push_back({w[0], 1, t->name, t->sequence, {}, {}});
            in_class = in_struct = false;
        } else if (kind == "enum" && w.size() >= 2) {
            datatype_def d{w[0], 3, "", false, {}, {}};
            for (std::size_t i = 1; i < w.size(); ++i) {
                auto eq = w[i].find('=');
                if (eq == std::string::npos) {
                    return fail("enum item needs NAME=VALUE");
                }
                d.items.emplace_back(w[i].substr(0, eq), std::atoi(w[i].c_str() + eq + 1));
            }
            datatypes_.push_back(std::move(d));
            in_class = in_struct = false;
        } else if (kind == "struct" && (w.size() == 1 || w.size() == 2)) {
            datatypes_.push_back({w[0], 2, w.size() == 2 ? w[1] : "", false, {}, {}});
            st_at = datatypes_.size() - 1;
            in_struct = true;
            in_class = false;
        } else if (kind == "f" && st != nullptr && w.size() == 2) {
            auto t = parse_type(w[1]);
            if (!t) {
                return fail("field needs a type");
            }
            st->fields.push_back({w[0], *t});
        } else {
            return fail("unknown line");
        }
    }
    // Every name a descriptor uses must be defined here, so that a controller can look it up.
    auto known = [this](const std::string& n) { return n.empty() || find_datatype(n); };
    for (const auto& c : classes_) {
        std::vector<int> parent(c.class_id.begin(), c.class_id.end() - 1);
        if (!parent.empty() && !find_class(parent)) {
            *why = "class " + c.name + " has no parent class";
            return false;
        }
        for (const auto& p : c.properties) {
            if (!known(p.type.name)) {
                *why = "unknown type " + p.type.name;
                return false;
            }
        }
        for (const auto& m : c.methods) {
            if (!known(m.result)) {
                *why = "unknown type " + m.result;
                return false;
            }
            for (const auto& a : m.params) {
                if (!known(a.type.name)) {
                    *why = "unknown type " + a.type.name;
                    return false;
                }
            }
        }
    }
    for (const auto& d : datatypes_) {
        if (!known(d.parent)) {
            *why = "unknown type " + d.parent;
            return false;
        }
        for (const auto& f : d.fields) {
            if (!known(f.type.name)) {
                *why = "unknown type " + f.type.name;
                return false;
            }
        }
    }
    return true;
}

const class_def* catalogue::find_class(const std::vector<int>& class_id) const {
    for (const auto& c : classes_) {
        if (c.class_id == class_id) {
            return &c;
        }
    }
    return nullptr;
}

const datatype_def* catalogue::find_datatype(const std::string& name) const {
    for (const auto& d : datatypes_) {
        if (d.name == name) {
            return &d;
        }
    }
    return nullptr;
}

// The element with this id of class `c` or, failing that, of its ancestors.
template <typename T>
const T* find_element(const catalogue& cat, const class_def& c, std::vector<T> class_def::*list,
                      element_id id) {
    for (std::vector<int> cid = c.class_id; !cid.empty(); cid.pop_back()) {
        if (const class_def* k = cat.find_class(cid)) {
            for (const T& e : k->*list) {
                if (e.id == id) {
                    return &e;
                }
            }
        }
    }
    return nullptr;
}

const property_def* catalogue::find_property(const class_def& c, element_id id) const {
    return find_element(*this, c, &class_def::properties, id);
}

const method_def* catalogue::find_method(const class_def& c, element_id id) const {
    return find_element(*this, c, &class_def::methods, id);
}

json catalogue::class_descriptor(const class_def& c, bool inherited) const {
    json props = json::array(), methods = json::array(), events = json::array();
    std::vector<const class_def*> chain{&c};
    if (inherited) {
        chain.clear();
        std::vector<int> cid = c.class_id;
        for (; !cid.empty(); cid.pop_back()) {
            if (const class_def* k = find_class(cid)) {
                chain.insert(chain.begin(), k);
            }
        }
    }
    for (const class_def* k : chain) {
        for (const auto& p : k->properties) {
            props.push_back({{"description", nullptr},
                             {"id", id_json(p.id)},
                             {"name", p.name},
                             {"typeName", type_name(p.type)},
                             {"isReadOnly", p.readonly},
                             {"isNullable", p.type.nullable},
                             {"isSequence", p.type.sequence},
                             {"isDeprecated", false},
                             {"constraints", nullptr}});
        }
        for (const auto& m : k->methods) {
            json params = json::array();
            for (const auto& a : m.params) {
                params.push_back({{"description", nullptr},
                                  {"name", a.name},
                                  {"typeName", type_name(a.type)},
                                  {"isNullable", a.type.nullable},
                                  {"isSequence", a.type.sequence},
                                  {"constraints", nullptr}});
            }
            methods.push_back({{"description", nullptr},
                               {"id", id_json(m.id)},
                               {"name", m.name},
                               {"resultDatatype", m.result},
                               {"parameters", params},
                               {"isDeprecated", false}});
        }
        for (const auto& e : k->events) {
            events.push_back({{"description", nullptr},
                              {"id", id_json(e.id)},
                              {"name", e.name},
                              {"eventDatatype", e.datatype},
                              {"isDeprecated", false}});
        }
    }
    return {{"description", nullptr},
            {"classId", c.class_id},
            {"name", c.name},
            {"fixedRole", c.fixed_role.empty() ? json(nullptr) : json(c.fixed_role)},
            {"properties", props},
            {"methods", methods},
            {"events", events}};
}

json catalogue::datatype_descriptor(const datatype_def& d, bool inherited) const {
    json out = {{"description", nullptr}, {"name", d.name}, {"type", d.kind}};
    switch (d.kind) {
        case 1:
            out["parentType"] = d.parent;
            out["isSequence"] = d.sequence;
            break;
        case 2: {
            json fields = json::array();
            std::vector<const datatype_def*> chain{&d};
            if (inherited) {
                // At most as many parents as there are types: a loop in the text cannot spin.
                for (const datatype_def* p = find_datatype(d.parent);
                     p != nullptr && chain.size() <= datatypes_.size();
                     p = find_datatype(p->parent)) {
                    chain.insert(chain.begin(), p);
                }
            }
            for (const datatype_def* k : chain) {
                for (const auto& f : k->fields) {
                    fields.push_back({{"description", nullptr},
                                      {"name", f.name},
                                      {"typeName", type_name(f.type)},
                                      {"isNullable", f.type.nullable},
                                      {"isSequence", f.type.sequence},
                                      {"constraints", nullptr}});
                }
            }
            out["fields"] = fields;
            out["parentType"] = d.parent.empty() ? json(nullptr) : json(d.parent);
            break;
        }
        case 3: {
            json items = json::array();
            for (const auto& [name, value] : d.items) {
                items.push_back({{"description", nullptr}, {"name", name}, {"value", value}});
            }
            out["items"] = items;
            break;
        }
        default:
            break;
    }
    out["constraints"] = nullptr;
    return out;
}

bool catalogue::conforms(const json& v, const type_ref& t, int depth) const {
    if (depth > kMaxTypeDepth) {
        return false;
    }
    if (v.is_null()) {
        return t.nullable;
    }
    if (t.sequence) {
        if (!v.is_array()) {
            return false;
        }
        type_ref item{t.name, false, false};
        return std::all_of(v.begin(), v.end(),
                           [&](const json& x) { return conforms(x, item, depth + 1); });
    }
    if (t.name.empty()) {
        return true;
    }
    const datatype_def* d = find_datatype(t.name);
    if (d == nullptr) {
        return false;
    }
    switch (d->kind) {
        case 0: {
            const std::string& n = d->name;
            if (n == "NcBoolean") {
                return v.is_boolean();
            }
            if (n == "NcString") {
                return v.is_string();
            }
            if (n == "NcFloat32" || n == "NcFloat64") {
                return v.is_number();
            }
            if (!v.is_number_integer()) {
                return false;
            }
            const bool is_unsigned = n.rfind("NcUint", 0) == 0;
            if (v.is_number_unsigned()) {
                const auto x = v.get<std::uint64_t>();
                const std::uint64_t max = n == "NcInt16"    ? 0x7fff
                                          : n == "NcInt32"  ? 0x7fffffff
                                          : n == "NcInt64"  ? 0x7fffffffffffffff
                                          : n == "NcUint16" ? 0xffff
                                          : n == "NcUint32" ? 0xffffffff
                                                            : ~std::uint64_t{0};
                return x <= max;
            }
            const auto x = v.get<std::int64_t>();
            if (is_unsigned) {
                return x >= 0 && (n == "NcUint64" || x <= (n == "NcUint16" ? 0xffff : 0xffffffff));
            }
            const std::int64_t min = n == "NcInt16"   ? -0x8000
                                     : n == "NcInt32" ? -0x7fffffff - 1
                                                      : std::numeric_limits<std::int64_t>::min();
            const std::int64_t max = n == "NcInt16"   ? 0x7fff
                                     : n == "NcInt32" ? 0x7fffffff
                                                      : std::numeric_limits<std::int64_t>::max();
            return x >= min && x <= max;
        }
        case 1:
            return conforms(v, {d->parent, d->sequence, false}, depth + 1);
        case 2: {
            if (!v.is_object()) {
                return false;
            }
            int hops = 0;
            for (const datatype_def* k = d; k != nullptr && hops <= kMaxTypeDepth;
                 k = k->parent.empty() ? nullptr : find_datatype(k->parent), ++hops) {
                for (const auto& f : k->fields) {
                    auto it = v.find(f.name);
                    if (it == v.end() ? !f.type.nullable : !conforms(*it, f.type, depth + 1)) {
                        return false;
                    }
                }
            }
            return true;
        }
        case 3: {
            if (!v.is_number_integer()) {
                return false;
            }
            return std::any_of(d->items.begin(), d->items.end(), [&](const auto& item) {
                return v.is_number_unsigned()
                           ? v.get<std::uint64_t>() == static_cast<std::uint64_t>(item.second)
                           : v.get<std::int64_t>() == item.second;
            });
        }
        default:
            return false;
    }
}

// ---- model ----

std::string model::monitor_role(std::size_t rx) {
    std::string r = std::string("rx-") + kChannels[rx].name();
    std::replace(r.begin(), r.end(), ':', '-');
    return r;
}

model::object& model::add(std::uint32_t oid, const std::vector<int>& class_id, std::string role,
                          std::optional<std::uint32_t> owner) {
    object o{oid, cat_.find_class(class_id), owner, std::move(role), {}, {}};
    o.values[kClassIdProp] = class_id;
    o.values[kOidProp] = oid;
    o.values[kConstantOidProp] = true;
    o.values[kOwnerProp] = owner ? json(*owner) : json(nullptr);
    o.values[kRoleProp] = o.role;
    o.values[kUserLabelProp] = nullptr;
    o.values[kTouchpointsProp] = nullptr;
    o.values[kRuntimeConstraintsProp] = nullptr;
    if (owner) {
        objects_.at(*owner).members.push_back(oid);
    }
    return objects_[oid] = std::move(o);
}

model::model(device_identity who, const std::array<std::string, kChannels.size()>& receiver_ids,
             monitor_hooks hooks)
    : cat_(catalogue::get()), hooks_(std::move(hooks)) {
    object& root = add(kRootOid, {1, 1}, "root", std::nullopt);
    root.values[kEnabledProp] = true;
    root.values[kUserLabelProp] = who.label;

    object& dm = add(kDeviceManagerOid, {1, 3, 1}, "DeviceManager", kRootOid);
    dm.values[{3, 1}] = "v1.0.0";
    dm.values[{3, 2}] = {
        {"name", who.manufacturer}, {"organizationId", nullptr}, {"website", nullptr}};
    dm.values[{3, 3}] = {
        {"name", who.product},  {"key", who.product_key}, {"revisionLevel", who.version},
        {"brandName", nullptr}, {"uuid", nullptr},        {"description", nullptr}};
    dm.values[{3, 4}] = who.serial;
    dm.values[{3, 5}] = nullptr;
    dm.values[{3, 6}] = who.label;
    dm.values[{3, 7}] = nullptr;
    dm.values[{3, 8}] = {{"generic", 1}, {"deviceSpecificDetails", nullptr}};
    dm.values[{3, 9}] = 1;  // power on: the node keeps no record of why it last started
    dm.values[{3, 10}] = nullptr;

    object& cm = add(kClassManagerOid, {1, 3, 2}, "ClassManager", kRootOid);
    json classes = json::array(), types = json::array();
    for (const auto& c : cat_.classes()) {
        classes.push_back(cat_.class_descriptor(c, false));
    }
    for (const auto& d : cat_.datatypes()) {
        types.push_back(cat_.datatype_descriptor(d, false));
    }
    cm.values[{3, 1}] = std::move(classes);
    cm.values[{3, 2}] = std::move(types);

    for (std::size_t i = 0; i < kChannels.size(); ++i) {
        object& m = add(kFirstMonitorOid + static_cast<std::uint32_t>(i), {1, 2, 2, 1},
                        monitor_role(i), kRootOid);
        m.values[kUserLabelProp] = std::string("Receive channel ") + kChannels[i].name();
        m.values[kTouchpointsProp] =
            json::array({{{"contextNamespace", "x-nmos"},
                          {"resource", {{"resourceType", "receiver"}, {"id", receiver_ids[i]}}}}});
        m.values[kEnabledProp] = true;
        apply_monitor(m, monitor_values{}, nullptr);
    }
    // Members last: their descriptors carry the labels set above.
    objects_.at(kRootOid).values[kMembersProp] = json::array();
    json members = json::array();
    for (std::uint32_t oid : objects_.at(kRootOid).members) {
        members.push_back(member_descriptor(objects_.at(oid)));
    }
    objects_.at(kRootOid).values[kMembersProp] = std::move(members);
}

bool model::has_object(std::uint32_t oid) const {
    std::lock_guard lk(mu_);
    return objects_.count(oid) != 0;
}

json model::member_descriptor(const object& o) const {
    return {{"description", nullptr},
            {"role", o.role},
            {"oid", o.oid},
            {"constantOid", true},
            {"classId", o.cls->class_id},
            {"userLabel", o.values.at(kUserLabelProp)},
            {"owner", o.owner ? *o.owner : 0}};
}

void model::set_value(object& o, element_id id, json v, std::vector<property_event>* events) {
    json& slot = o.values[id];
    if (slot == v) {
        return;
    }
    slot = v;
    if (events != nullptr) {
        events->push_back({o.oid, id, std::move(v)});
    }
    // A member's label is part of its block's member descriptors.
    if (id == kUserLabelProp && o.owner) {
        object& block = objects_.at(*o.owner);
        json members = json::array();
        for (std::uint32_t oid : block.members) {
            members.push_back(member_descriptor(objects_.at(oid)));
        }
        set_value(block, kMembersProp, std::move(members), events);
    }
}

void model::apply_monitor(object& o, const monitor_values& v, std::vector<property_event>* events) {
    auto num = [](auto e) { return static_cast<int>(e); };
    set_value(o, kOverall, num(v.overall), events);
    set_value(o, kOverallMessage, optional_string(v.overall_message), events);
    set_value(o, kReportingDelay, v.status_reporting_delay, events);
    set_value(o, {4, 1}, num(v.link), events);
    set_value(o, {4, 2}, optional_string(v.link_message), events);
    set_value(o, {4, 3}, v.link_transitions, events);
    set_value(o, {4, 4}, num(v.connection), events);
    set_value(o, {4, 5}, optional_string(v.connection_message), events);
    set_value(o, {4, 6}, v.connection_transitions, events);
    set_value(o, {4, 7}, num(v.synchronization), events);
    set_value(o, {4, 8}, optional_string(v.synchronization_message), events);
    set_value(o, {4, 9}, v.synchronization_transitions, events);
    set_value(o, {4, 10}, optional_string(v.synchronization_source), events);
    set_value(o, {4, 11}, num(v.stream), events);
    set_value(o, {4, 12}, optional_string(v.stream_message), events);
    set_value(o, {4, 13}, v.stream_transitions, events);
    set_value(o, kAutoReset, v.auto_reset_counters_and_messages, events);
}

void model::update_monitor(std::size_t rx, const monitor_values& v,
                           std::vector<property_event>* events) {
    if (rx >= kChannels.size()) {
        return;
    }
    std::lock_guard lk(mu_);
    apply_monitor(objects_.at(kFirstMonitorOid + static_cast<std::uint32_t>(rx)), v, events);
}

json model::invoke(std::uint32_t oid, element_id method, const json& arguments,
                   std::vector<property_event>* events) {
    follow_up after;
    json result;
    {
        std::lock_guard lk(mu_);
        auto it = objects_.find(oid);
        if (it == objects_.end()) {
            return result_error(status::bad_oid, "no object with oid " + std::to_string(oid));
        }
        object& o = it->second;
        const method_def* m = cat_.find_method(*o.cls, method);
        if (m == nullptr) {
            return result_error(status::method_not_implemented,
                                o.cls->name + " has no method " + std::to_string(method.level) +
                                    "m" + std::to_string(method.index));
        }
        const json args = arguments.is_object() ? arguments : json::object();
        for (const auto& p : m->params) {
            auto a = args.find(p.name);
            if (a == args.end() ? !p.type.nullable : !cat_.conforms(*a, p.type)) {
                return result_error(status::parameter_error,
                                    m->name + ": argument " + p.name + " is missing or not " +
                                        (p.type.sequence ? "a sequence of " : "") +
                                        (p.type.name.empty() ? "a value" : p.type.name));
            }
        }
        switch (m->id.level) {
            case 1:
                result = call_object(o, *m, args, events, &after);
                break;
            case 2:
                result = call_block(o, *m, args);
                break;
            case 3:
                result = call_class_manager(*m, args);
                break;
            default:
                result = call_monitor(o, *m, &after);
                break;
        }
    }
    // The monitor logic runs without the model's lock: it may take its own.
    if (after.run) {
        if (auto v = after.run()) {
            update_monitor(after.rx, *v, events);
        }
    }
    return result;
}

json model::call_object(object& o, const method_def& m, const json& args,
                        std::vector<property_event>* events, follow_up* after) {
    const json& id_arg = args.at("id");
    const element_id id{id_arg.at("level").get<int>(), id_arg.at("index").get<int>()};
    const property_def* p = cat_.find_property(*o.cls, id);
    if (p == nullptr) {
        return result_error(status::property_not_implemented, o.cls->name + " has no property " +
                                                                  std::to_string(id.level) + "p" +
                                                                  std::to_string(id.index));
    }
    json& value = o.values[id];
    const std::string& name = m.name;
    if (name == "Get") {
        return result_value(value);
    }
    if (name == "Set") {
        if (p->readonly) {
            return result_error(status::readonly, p->name + " is read-only");
        }
        json v = args.contains("value") ? args.at("value") : json(nullptr);
        if (!cat_.conforms(v, p->type)) {
            return result_error(
                status::parameter_error,
                p->name + " takes " + (p->type.nullable ? "null or " : "") + p->type.name);
        }
        const bool monitor =
            o.oid >= kFirstMonitorOid && o.oid < kFirstMonitorOid + kChannels.size();
        const std::size_t rx = o.oid - kFirstMonitorOid;
        if (monitor && id == kReportingDelay && hooks_.set_reporting_delay) {
            const auto seconds = v.get<std::uint32_t>();
            *after = {[this, rx, seconds] { return hooks_.set_reporting_delay(rx, seconds); }, rx};
        } else if (monitor && id == kAutoReset && hooks_.set_auto_reset) {
            const bool on = v.get<bool>();
            *after = {[this, rx, on] { return hooks_.set_auto_reset(rx, on); }, rx};
        }
        set_value(o, id, std::move(v), events);
        return result_ok();
    }
    if (!p->type.sequence) {
        return result_error(status::invalid_request, p->name + " is not a sequence");
    }
    if (name == "GetSequenceLength") {
        return result_value(value.is_null() ? json(nullptr) : json(value.size()));
    }
    if (name == "GetSequenceItem") {
        const auto index = args.at("index").get<std::uint64_t>();
        if (value.is_null() || index >= value.size()) {
            return result_error(status::index_out_of_bounds,
                                p->name + " has no item " + std::to_string(index));
        }
        return result_value(value.at(index));
    }
    // SetSequenceItem, AddSequenceItem, RemoveSequenceItem: every sequence here is the
    // device's own account of itself.
    return result_error(status::readonly, p->name + " is read-only");
}

void model::collect(const object& block, bool recurse,
                    const std::function<bool(const object&)>& match, json* out) const {
    for (std::uint32_t oid : block.members) {
        const object& m = objects_.at(oid);
        if (match(m)) {
            out->push_back(member_descriptor(m));
        }
        if (recurse && !m.members.empty()) {
            collect(m, recurse, match, out);
        }
    }
}

json model::call_block(object& o, const method_def& m, const json& args) {
    json found = json::array();
    if (m.name == "GetMemberDescriptors") {
        collect(
            o, arg_bool(args, "recurse"), [](const object&) { return true; }, &found);
    } else if (m.name == "FindMembersByPath") {
        const json& path = args.at("path");
        const object* at = &o;
        for (std::size_t i = 0; i < path.size() && at != nullptr; ++i) {
            const object* next = nullptr;
            for (std::uint32_t oid : at->members) {
                if (objects_.at(oid).role == path[i].get<std::string>()) {
                    next = &objects_.at(oid);
                }
            }
            if (next != nullptr && i + 1 == path.size()) {
                found.push_back(member_descriptor(*next));
            }
            at = next;
        }
    } else if (m.name == "FindMembersByRole") {
        const bool cs = arg_bool(args, "caseSensitive");
        const bool whole = arg_bool(args, "matchWholeString");
        const std::string want =
            cs ? args.at("role").get<std::string>() : lower(args.at("role").get<std::string>());
        collect(
            o, arg_bool(args, "recurse"),
            [&](const object& x) {
                const std::string role = cs ? x.role : lower(x.role);
                return whole ? role == want : role.find(want) != std::string::npos;
            },
            &found);
    } else {  // FindMembersByClassId
        const auto want = args.at("classId").get<std::vector<int>>();
        const bool derived = arg_bool(args, "includeDerived");
        collect(
            o, arg_bool(args, "recurse"),
            [&](const object& x) {
                const auto& have = x.cls->class_id;
                return derived ? have.size() >= want.size() &&
                                     std::equal(want.begin(), want.end(), have.begin())
                               : have == want;
            },
            &found);
    }
    return result_value(std::move(found));
}

json model::call_class_manager(const method_def& m, const json& args) {
    const bool inherited = arg_bool(args, "includeInherited");
    if (m.name == "GetControlClass") {
        const auto id = args.at("classId").get<std::vector<int>>();
        if (const class_def* c = cat_.find_class(id)) {
            return result_value(cat_.class_descriptor(*c, inherited));
        }
        return result_error(status::parameter_error, "no such class");
    }
    const auto name = args.at("name").get<std::string>();
    if (const datatype_def* d = cat_.find_datatype(name)) {
        return result_value(cat_.datatype_descriptor(*d, inherited));
    }
    return result_error(status::parameter_error, "no datatype " + name.substr(0, 64));
}

json model::call_monitor(object& o, const method_def& m, follow_up* after) {
    const std::size_t rx = o.oid - kFirstMonitorOid;
    if (m.name == "ResetCountersAndMessages") {
        if (hooks_.reset_counters_and_messages) {
            *after = {[this, rx] { return hooks_.reset_counters_and_messages(rx); }, rx};
        }
        return result_ok();
    }
    // Lost and late packets: the board counts neither, so the lists are empty.
    return result_value(json::array());
}

}  // namespace nexo::nmos::ncp
