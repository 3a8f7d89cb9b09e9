#include "lineage/fast_path.hpp"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include "capi/api.hpp"
#include "lineage/state.hpp"

namespace lineage::fast_path {

namespace {

using capi::Ref;

// ---- The switch and the watch ------------------------------------------

bool on = true;

// One dictionary watcher counts every change to the watched dictionaries:
// the module namespace and the dictionary of the module bound to `exp`.
struct Watch {
    int watcher = -1;                // -2: none could be had
    std::vector<PyObject*> watched;  // borrowed; each leaves when it is freed
    PyObject* namespace_dict = nullptr;  // set while the namespace is watched
    unsigned long long changes = 0;
};
Watch watch;

int on_change(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    ++watch.changes;
    if (event == PyDict_EVENT_DEALLOCATED) {
        // Its address may be reused by a dictionary nobody watches.
        std::erase(watch.watched, dict);
        if (dict == watch.namespace_dict) {
            watch.namespace_dict = nullptr;
        }
    }
    return 0;
}

// Watches `dict`. False when no watcher could be had.
bool add_watch(PyObject* dict) {
    if (std::find(watch.watched.begin(), watch.watched.end(), dict) != watch.watched.end()) {
        return true;
    }
    if (watch.watcher == -1 && (watch.watcher = PyDict_AddWatcher(on_change)) < 0) {
        watch.watcher = -2;
    }
    if (watch.watcher < 0 || PyDict_Watch(watch.watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    ++watch.changes;  // what was read from it before went unwatched
    watch.watched.push_back(dict);
    return true;
}

// Whether every published name is bound to the module's own function, as
// last worked out at `answered_at` changes.
struct OwnFunctions {
    unsigned long long answered_at = 0;
    bool answered = false;
    bool answer = false;
};
OwnFunctions own;

bool all_own_functions_bound() {
    for (int i = 0; i < function_count; ++i) {
        Ref bound;
        PyObject* name = state.names.*Names::functions[i];
        if (capi::dict_get(state.globals.dict, name, &bound) < 0) {
            PyErr_Clear();  // only "not known to be ours"
        }
        if (!bound || bound.get() != state.own_functions[i]) {
            return false;
        }
    }
    return true;
}

bool functions_are_own() {
    if (!own.answered || own.answered_at != watch.changes) {
        own.answer = all_own_functions_bound();
        own.answered = true;
        own.answered_at = watch.changes;
    }
    return own.answer;
}

bool namespace_watched() {
    return on && watch.namespace_dict != nullptr && watch.namespace_dict == state.globals.dict;
}

// ---- Kept classes ------------------------------------------------------

struct KeptClass {
    PyObject* name;  // an interned name of Names, which lives as long as the process
    Ref cls;
};
// What the process-wide tables below hold is never released: at exit it is
// left to the interpreter's own teardown, which a release after it would
// reach into.
std::vector<KeptClass>& kept_classes = *new std::vector<KeptClass>;
unsigned long long classes_kept_at = 0;

PyObject* kept_class(PyObject* name) {
    if (classes_kept_at != watch.changes) {
        return nullptr;
    }
    for (const KeptClass& kept : kept_classes) {
        if (kept.name == name) {
            return kept.cls.get();
        }
    }
    return nullptr;
}

void keep_class(PyObject* name, PyObject* cls) {
    if (classes_kept_at != watch.changes) {
        // Released once the cache is consistent again: a release may run
        // interpreter code that reads it.
        std::vector<KeptClass> stale;
        stale.swap(kept_classes);
        classes_kept_at = watch.changes;
    }
    kept_classes.push_back({name, Ref::borrow(cls)});
}

// ---- Type facts --------------------------------------------------------

// sqlglot's own search methods: Expression.find, find_all, walk, bfs and
// iter_expressions, read at load.
constexpr int method_count = 5;
Ref* const library_methods = new Ref[method_count];

// What a type resolves, as of its version tag.
struct TypeFacts {
    unsigned int tag = 0;
    bool searches = false;    // its search methods are sqlglot's own
    bool own_class = false;   // `__class__` is object's own: isinstance is a subtype test
    bool plain_check = false; // (of a metaclass) type's own __instancecheck__
    // Attributes read on its nodes: the name and its data descriptor, or
    // null for the general way.
    static constexpr int attribute_capacity = 8;
    int attribute_count = 0;
    PyObject* attribute_names[attribute_capacity] = {};
    Ref descriptors[attribute_capacity];
    // isinstance(node, exp.<name>) for its nodes, by the name of the class,
    // while the kept classes are those of `answers_at` changes: only for
    // classes whose metaclass is type itself, which can never answer
    // otherwise.
    static constexpr int answer_capacity = 8;
    int answer_count = 0;
    unsigned long long answers_at = 0;
    PyObject* answer_names[answer_capacity] = {};
    bool answers[answer_capacity] = {};
};
ObjectTable<TypeFacts, IdentityKeys>& type_facts = *new ObjectTable<TypeFacts, IdentityKeys>;

// True when `type` resolves `name` to `expected` itself.
bool resolves_to(PyTypeObject* type, PyObject* name, PyObject* expected) {
    if (expected == nullptr) {
        return false;
    }
    Ref found = capi::getattr(reinterpret_cast<PyObject*>(type), name);
    if (!found) {
        PyErr_Clear();
    }
    return found.get() == expected;
}

TypeFacts find_facts(PyTypeObject* type) {
    const Names& names = state.names;
    PyObject* const methods[method_count] = {names.find, names.find_all, names.walk, names.bfs,
                                             names.iter_expressions};
    TypeFacts facts;
    facts.searches = true;
    for (int i = 0; i < method_count && facts.searches; ++i) {
        facts.searches = resolves_to(type, methods[i], library_methods[i].get());
    }
    // Generic attribute access, and object's own __class__ descriptor first
    // in the MRO (a data descriptor, which no instance attribute can hide).
    if (type->tp_getattro == PyObject_GenericGetAttr && type->tp_mro != nullptr) {
        Ref found;
        PyTypeObject* owner = nullptr;
        if (capi::type_lookup(type, names.class_, &found, &owner) < 0) {
            PyErr_Clear();
        }
        facts.own_class = found && owner == &PyBaseObject_Type;
    }
    Ref types_check = capi::getattr(reinterpret_cast<PyObject*>(&PyType_Type), names.instancecheck);
    if (!types_check) {
        PyErr_Clear();
    }
    facts.plain_check = resolves_to(type, names.instancecheck, types_check.get());
    return facts;
}

// The facts of `type`, kept by its tag; null when it cannot be given one,
// and everything about it is to be read the general way. The pointer is
// good until the next call of facts_of.
TypeFacts* facts_of(PyTypeObject* type) {
    if (TypeFacts* kept = type_facts.find(reinterpret_cast<PyObject*>(type));
        kept != nullptr && kept->tag == type->tp_version_tag && kept->tag != 0) {
        return kept;
    }
    TypeFacts facts = find_facts(type);
    if (!PyUnstable_Type_AssignVersionTag(type)) {
        return nullptr;
    }
    facts.tag = type->tp_version_tag;
    TypeFacts& kept = type_facts[reinterpret_cast<PyObject*>(type)];
    kept = std::move(facts);
    return &kept;
}

// ---- The native search -------------------------------------------------

enum class Walked { done, failed, not_applicable };

// What one walk looks for: instances of `count` classes, each appended to
// its own list; with `first_only`, only the first instance of the first.
struct Sought {
    PyObject* const* classes;
    PyObject* const* names;  // exp.<name> is each class, when known
    std::vector<Ref>* found;
    int count;
    bool first_only;
};

// Whether isinstance(x, cls) is the plain test of x's type and `__class__`:
// `cls` is a class whose metaclass keeps type's own __instancecheck__.
bool has_plain_check(PyObject* cls) {
    if (!PyType_Check(cls)) {
        return false;
    }
    PyTypeObject* metaclass = Py_TYPE(cls);
    if (metaclass == &PyType_Type) {
        return true;
    }
    const TypeFacts* facts = facts_of(metaclass);
    return facts != nullptr && facts->plain_check;
}

// The answer kept in `facts` for exp.<name>: 1 or 0, or -2 when none is.
int kept_answer(const TypeFacts& facts, PyObject* name) {
    if (facts.answers_at == watch.changes) {
        for (int i = 0; i < facts.answer_count; ++i) {
            if (facts.answer_names[i] == name) {
                return facts.answers[i];
            }
        }
    }
    return -2;
}

// isinstance(node, cls) for the nodes of `type` (whose facts are `facts`)
// and a class with a plain check, exp.<name> when `name` is given: 1 or 0;
// -2 when a node's `__class__` must be asked. Kept in the facts when the
// class is a kept class whose metaclass is type itself.
int decides(PyTypeObject* type, TypeFacts& facts, PyObject* cls, PyObject* name) {
    int answer = name != nullptr ? kept_answer(facts, name) : -2;
    if (answer != -2) {
        return answer;
    }
    answer = PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls)) ? 1
             : facts.own_class                                           ? 0
                                                                         : -2;
    if (answer == -2 || name == nullptr || !Py_IS_TYPE(cls, &PyType_Type) ||
        kept_class(name) != cls) {
        return answer;
    }
    if (facts.answers_at != watch.changes) {
        facts.answer_count = 0;
        facts.answers_at = watch.changes;
    }
    if (facts.answer_count < TypeFacts::answer_capacity) {
        facts.answer_names[facts.answer_count] = name;
        facts.answers[facts.answer_count++] = answer != 0;
    }
    return answer;
}

// The data descriptor `type` resolves `name` to (borrowed into a new Ref),
// kept in its facts; empty when there is none, or no room to keep it, and
// the attribute is to be read the general way.
Ref descriptor_of(PyTypeObject* type, PyObject* name) {
    TypeFacts* facts = facts_of(type);
    if (facts == nullptr) {
        return Ref();
    }
    int at = 0;
    while (at < facts->attribute_count && facts->attribute_names[at] != name) {
        ++at;
    }
    if (at < facts->attribute_count) {
        return Ref::borrow(facts->descriptors[at].get());
    }
    if (at == TypeFacts::attribute_capacity) {
        return Ref();
    }
    Ref descriptor = capi::data_descriptor(type, name);
    facts = facts_of(type);  // the search may have changed the table
    if (facts != nullptr && at == facts->attribute_count) {
        facts->attribute_names[at] = name;
        facts->descriptors[at] = Ref::borrow(descriptor.get());
        ++facts->attribute_count;
    }
    return descriptor;
}

// node.<name> through `descriptor`, or the general way without one.
Ref read_attribute(PyObject* node, const Ref& descriptor, PyObject* name) {
    return descriptor ? capi::read_through(descriptor.get(), node) : capi::getattr(node, name);
}

bool searches_as_library(PyObject* node) {
    const TypeFacts* facts = facts_of(Py_TYPE(node));
    return facts != nullptr && facts->searches;
}

// 1 when the walk is over (the first was found), 0 to go on, -1 on error.
// `answers` holds what the node's type decided for each class (-2: ask).
int collect(PyObject* node, const Sought& sought, const int* answers) {
    for (int i = 0; i < sought.count; ++i) {
        int matches = answers[i] != -2 ? answers[i] : PyObject_IsInstance(node, sought.classes[i]);
        if (matches < 0) {
            return -1;
        }
        if (matches) {
            sought.found[i].push_back(Ref::borrow(node));
            if (sought.first_only) {
                return 1;
            }
        }
    }
    return 0;
}

// Queues `child` when it is a node: a value with a `parent` attribute.
int enqueue_if_node(std::vector<Ref>& queue, PyObject* child) {
    // Strings, flags and None, the leaves of every tree, have no `parent`.
    if (PyUnicode_CheckExact(child) || PyBool_Check(child) || child == Py_None) {
        return 0;
    }
    if (attribute(child, state.names.parent)) {
        queue.push_back(Ref::borrow(child));
        return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// Queues the children of a node whose `args` is the dict `args`: its values,
// and the items of each value that is a plain list, read as it stands at
// each step.
int enqueue_children(std::vector<Ref>& queue, capi::SignalCheck& signals, PyObject* args) {
    Py_ssize_t position = 0;
    PyObject* value = nullptr;
    while (PyDict_Next(args, &position, nullptr, &value)) {
        Ref held = Ref::borrow(value);
        if (signals.tick() < 0) {
            return -1;
        }
        if (!Py_IS_TYPE(value, &PyList_Type)) {
            if (enqueue_if_node(queue, value) < 0) {
                return -1;
            }
            continue;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(value, i));
            if (signals.tick() < 0 || enqueue_if_node(queue, item.get()) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

// Expression.bfs from `root`, each node collected as `sought` says. A node
// whose type has search methods of its own, or whose `args` is not a dict,
// makes the walk not applicable.
Walked breadth_first(PyObject* root, const Sought& sought, std::vector<Ref>& queue) {
    bool plain[3] = {};
    for (int i = 0; i < sought.count; ++i) {
        plain[i] = has_plain_check(sought.classes[i]);
    }
    queue.clear();
    queue.push_back(Ref::borrow(root));
    capi::SignalCheck signals;  // a node among its own descendants never ends
    for (size_t head = 0; head < queue.size(); ++head) {
        Ref node = std::move(queue[head]);
        if (signals.tick() < 0) {
            return Walked::failed;
        }
        PyTypeObject* type = Py_TYPE(node.get());
        Ref args_descriptor = descriptor_of(type, state.names.args);
        // What the type decides, taken before any instance check runs code
        // that may change the table.
        TypeFacts* facts = facts_of(type);
        if (facts == nullptr) {
            return Walked::not_applicable;
        }
        bool searches = facts->searches;
        int answers[3];
        for (int i = 0; i < sought.count; ++i) {
            PyObject* name = sought.names != nullptr ? sought.names[i] : nullptr;
            answers[i] = plain[i] ? decides(type, *facts, sought.classes[i], name) : -2;
        }
        int collected = collect(node.get(), sought, answers);
        if (collected != 0) {
            return collected < 0 ? Walked::failed : Walked::done;
        }
        if (!searches) {
            return Walked::not_applicable;
        }
        Ref args = read_attribute(node.get(), args_descriptor, state.names.args);
        if (!args) {
            return Walked::failed;
        }
        if (!PyDict_CheckExact(args.get())) {
            return Walked::not_applicable;
        }
        if (enqueue_children(queue, signals, args.get()) < 0) {
            return Walked::failed;
        }
    }
    return Walked::done;
}

// The walk for `sought` from `node`, with `queue` for its storage: 0 when
// done, 1 when not applicable (no exception set), -1 on error.
int walk(PyObject* node, const Sought& sought, std::vector<Ref>& queue) {
    if (!on || !searches_as_library(node)) {
        return 1;
    }
    Walked walked = breadth_first(node, sought, queue);
    queue.clear();
    return walked == Walked::done ? 0 : walked == Walked::failed ? -1 : 1;
}

// A new list of `count` nodes from `first`.
Ref as_list(const Ref* first, size_t count) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    for (size_t i = 0; list && i < count; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(first[i].get()));
    }
    return list;
}

thread_local Analysis* innermost = nullptr;

}  // namespace

// ---- The switch and the one validity check -----------------------------

void set_enabled(bool enable) {
    on = enable;
}

bool enabled() {
    return on;
}

bool watch_namespace(PyObject* dict) {
    if (!on || !add_watch(dict)) {
        return false;
    }
    watch.namespace_dict = dict;
    // The classes of `exp` too, now rather than at their first reading,
    // which would end the speed-ups of the analysis under way.
    Ref exp;
    if (capi::dict_get(dict, state.names.exp, &exp) > 0 && PyModule_CheckExact(exp.get())) {
        add_watch(PyModule_GetDict(exp.get()));
    }
    PyErr_Clear();
    return true;
}

Since::Since() : valid_(namespace_watched() && functions_are_own()), at_(watch.changes) {}

bool Since::holds() const {
    return valid_ && at_ == watch.changes;
}

void learn_library(PyObject* exp_module) {
    type_facts.clear();
    Ref expression = capi::getattr(exp_module, state.names.Expression);
    if (!expression) {
        PyErr_Clear();
    }
    const Names& names = state.names;
    PyObject* const methods[method_count] = {names.find, names.find_all, names.walk, names.bfs,
                                             names.iter_expressions};
    for (int i = 0; i < method_count; ++i) {
        library_methods[i] = expression ? capi::getattr(expression.get(), methods[i]) : Ref();
        if (!library_methods[i]) {
            PyErr_Clear();
        }
    }
}

// ---- Reading nodes -----------------------------------------------------

Ref plain_class(PyObject* name) {
    if (!on) {
        return Ref();
    }
    if (PyObject* kept = kept_class(name)) {
        return Ref::borrow(kept);
    }
    Ref exp = state.globals.lookup(state.names.exp);
    if (!exp || !PyModule_CheckExact(exp.get())) {
        return Ref();
    }
    PyObject* classes = PyModule_GetDict(exp.get());
    // Kept while the namespace and that dictionary are watched: rebinding
    // `exp` changes the namespace, replacing a class changes the dictionary.
    bool watched = namespace_watched() && add_watch(classes);
    Ref found;
    if (capi::dict_get(classes, name, &found) > 0 && watched) {
        keep_class(name, found.get());
    }
    return found;
}

int kept_answer(PyObject* node, PyObject* name) {
    const TypeFacts* facts = on ? facts_of(Py_TYPE(node)) : nullptr;
    return facts != nullptr ? kept_answer(*facts, name) : -2;
}

int type_decides(PyObject* node, PyObject* cls, PyObject* name) {
    if (!on || !has_plain_check(cls)) {
        return -2;
    }
    TypeFacts* facts = facts_of(Py_TYPE(node));
    return facts != nullptr ? decides(Py_TYPE(node), *facts, cls, name) : -2;
}

Ref attribute(PyObject* node, PyObject* name) {
    if (!on) {
        return capi::getattr(node, name);
    }
    return read_attribute(node, descriptor_of(Py_TYPE(node), name), name);
}

Ref nodes_of_class(PyObject* node, PyObject* cls, PyObject* name, bool first_only) {
    std::vector<Ref> found;
    std::vector<Ref> queue;
    return walk(node, {&cls, &name, &found, 1, first_only}, queue) == 0 ? as_list(found.data(), found.size())
                                                           : Ref();
}

// ---- The list index ----------------------------------------------------

ListIndex::ListIndex(PyObject* list) : list_(Ref::borrow(list)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list) && usable_; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        usable_ = PyUnicode_CheckExact(item);
        if (usable_) {
            listed_[item] += 1;
        }
    }
}

void ListIndex::reserve(Py_ssize_t count) {
    listed_.reserve(static_cast<size_t>(count));
    open_records_.reserve(static_cast<size_t>(count));
}

int ListIndex::contains(PyObject* item) const {
    if (!PyUnicode_CheckExact(item)) {
        return -2;
    }
    const Py_ssize_t* listed = listed_.find(item);
    return listed != nullptr && *listed > 0;
}

int ListIndex::append(PyObject* item) {
    if (PyList_Append(list_.get(), item) < 0) {
        return -1;
    }
    if (PyUnicode_CheckExact(item)) {
        listed_[item] += 1;
    } else {
        usable_ = false;
    }
    return 0;
}

void ListIndex::remove(PyObject* item) {
    if (removed_.empty()) {
        // At most every entry of the list is removed before the next flush.
        removed_.reserve(static_cast<size_t>(PyList_GET_SIZE(list_.get())));
    }
    listed_[item] -= 1;
    removed_[item] += 1;
}

// Compacts the list in place: kept entries move forward, removed ones lose
// the list's reference (a str frees without running interpreter code).
void ListIndex::flush() {
    if (removed_.empty()) {
        return;
    }
    PyObject* list = list_.get();
    Py_ssize_t size = PyList_GET_SIZE(list);
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        Py_ssize_t* pending = PyUnicode_CheckExact(item) ? removed_.find(item) : nullptr;
        if (pending != nullptr && *pending > 0) {
            --*pending;
            Ref::steal(item);  // the list's reference, released here
        } else {
            PyList_SET_ITEM(list, kept++, item);
        }
    }
    for (Py_ssize_t i = kept; i < size; ++i) {
        PyList_SET_ITEM(list, i, nullptr);
    }
    Py_SET_SIZE(list, kept);
    removed_.clear();
}

void ListIndex::remember(PyObject* record, PyObject* text, PyObject* column_table) {
    OpenRecord& kept = open_records_[record];
    if (!kept.text) {
        kept = {Ref::borrow(text), Ref::borrow(column_table)};
    }
}

const ListIndex::OpenRecord* ListIndex::known(PyObject* record) const {
    const OpenRecord* open = open_records_.find(record);
    return open != nullptr && open->text ? open : nullptr;
}

void ListIndex::forget(PyObject* record) {
    if (OpenRecord* open = open_records_.find(record)) {
        *open = OpenRecord{};
    }
}

int contains(ListIndex* index, PyObject* list, PyObject* item) {
    int known = index != nullptr ? index->contains(item) : -2;
    return known != -2 ? known : capi::contains(list, item);
}

int append(ListIndex* index, PyObject* list, PyObject* item) {
    return index != nullptr ? index->append(item) : capi::append(list, item);
}

int remove(ListIndex* index, PyObject* list, PyObject* item) {
    if (index != nullptr && PyUnicode_CheckExact(item)) {
        index->remove(item);
        return 0;
    }
    return capi::call_method(list, state.names.remove, {item}) ? 0 : -1;
}

// ---- One `test` call ---------------------------------------------------

// The walks of one `test` call. A select item is searched for subqueries,
// then for columns or function calls, and again for subqueries when the
// tables are walked: a node searched for any of those three classes is
// walked once for all three, and later searches are answered from that walk.
struct Analysis::Walks {
    static constexpr int class_count = 3;  // Subquery, Column, Anonymous
    // Where the nodes of each class found by one walk sit in `found`.
    struct Found {
        unsigned int first[class_count];
        unsigned int count[class_count];
    };

    Ref classes[class_count];  // sought by every walk kept: exp.<name> of these
    PyObject* const names[class_count] = {state.names.Subquery, state.names.Column,
                                          state.names.Anonymous};
    ObjectTable<Found, IdentityKeys> by_node;
    std::vector<Ref> found;  // the nodes found, walk after walk
    // Storage of the walks, kept from one to the next.
    std::vector<Ref> queue;
    std::vector<Ref> lists[class_count];
    // Set during a walk: a search nested in it (code the walk runs that
    // calls the module) must not change what the walk reads and fills.
    bool walking = false;

    // The classes as `exp` has them now; walks kept for other classes are
    // forgotten. False when one cannot be read without running interpreter
    // code (no exception set).
    bool read_classes() {
        for (int i = 0; i < class_count; ++i) {
            Ref cls = plain_class(names[i]);
            if (!cls) {
                PyErr_Clear();
                return false;
            }
            if (cls.get() != classes[i].get()) {
                classes[i] = std::move(cls);
                by_node.clear();
                found.clear();
            }
        }
        return true;
    }

    Ref nodes_of_class(PyObject* node, PyObject* cls) {
        int sought = 0;
        while (sought < class_count && classes[sought].get() != cls) {
            ++sought;
        }
        if (sought == class_count) {
            return fast_path::nodes_of_class(node, cls, nullptr, false);
        }
        const Found* known = by_node.find(node);
        if (known == nullptr) {
            PyObject* const wanted[class_count] = {classes[0].get(), classes[1].get(),
                                                   classes[2].get()};
            walking = true;
            int walked = walk(node, {wanted, names, lists, class_count, false}, queue);
            walking = false;
            Found made;
            for (int i = 0; i < class_count; ++i) {
                made.first[i] = static_cast<unsigned int>(found.size());
                made.count[i] = static_cast<unsigned int>(lists[i].size());
                if (walked == 0) {
                    std::move(lists[i].begin(), lists[i].end(), std::back_inserter(found));
                }
                lists[i].clear();
            }
            if (walked != 0) {
                return Ref();
            }
            by_node[node] = made;
            known = by_node.find(node);
        }
        // A copy: making the list may run a collection whose finalizers add walks.
        Found walked = *known;
        return as_list(found.data() + walked.first[sought], walked.count[sought]);
    }
};

Analysis::Analysis(Py_ssize_t items) : outer_(innermost) {
    innermost = this;
    if (since_start_.holds()) {
        walks_ = std::make_unique<Walks>();
        walks_->by_node.reserve(static_cast<size_t>(std::max<Py_ssize_t>(items, 0)));
    }
}

Analysis::~Analysis() {
    innermost = outer_;
}

void Analysis::expect_lists() {
    expecting_ = true;
    since_expected_ = Since();
}

void Analysis::adopt(PyObject* alias, PyObject* texts, Py_ssize_t expected) {
    Analysis* analysis = innermost;
    if (analysis == nullptr || !analysis->expecting_) {
        return;
    }
    analysis->expecting_ = false;
    if (!analysis->since_expected_.holds()) {
        return;
    }
    analysis->alias_ = std::make_unique<ListIndex>(alias);
    analysis->texts_ = std::make_unique<ListIndex>(texts);
    analysis->alias_->reserve(expected);
    analysis->texts_->reserve(expected);
}

ListIndex* Analysis::index_of(PyObject* list) {
    Analysis* analysis = innermost;
    if (analysis == nullptr || !analysis->texts_) {
        return nullptr;
    }
    if (!analysis->since_expected_.holds()) {
        // A rebound function may have seen the lists: from now on they are
        // plain lists, for every analysis under way on this thread.
        for (Analysis* each = analysis; each != nullptr; each = each->outer_) {
            if (each->texts_) {
                each->alias_->drop();
                each->texts_->drop();
            }
        }
        return nullptr;
    }
    for (ListIndex* index : {analysis->alias_.get(), analysis->texts_.get()}) {
        if (index->list() == list) {
            return index->usable() ? index : nullptr;
        }
    }
    return nullptr;
}

Ref Analysis::find_all(PyObject* node, PyObject* cls) {
    Analysis* analysis = innermost;
    Walks* walks = analysis != nullptr ? analysis->walks_.get() : nullptr;
    if (walks == nullptr || walks->walking || !analysis->since_start_.holds() ||
        !walks->read_classes()) {
        return nodes_of_class(node, cls, nullptr, false);
    }
    return walks->nodes_of_class(node, cls);
}

}  // namespace lineage::fast_path
