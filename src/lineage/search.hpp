// The native search: sqlglot's Expression.find and find_all, run without
// calling into the interpreter, for nodes whose type searches exactly as the
// library's Expression does.
#pragma once

#include <utility>
#include <vector>

#include "capi/ref.hpp"
#include "lineage/checked_types.hpp"
#include "lineage/object_table.hpp"
#include "module/watch.hpp"

namespace lineage::search {

// Remembers sqlglot's own search methods (Expression.find, find_all, walk,
// bfs and iter_expressions), against which node types are checked. Without
// them no search runs natively. Never fails.
void remember_library_methods(PyObject* exp_module);

// The nodes of class `cls` under `node` (the node itself first, then
// breadth-first), as a new list; with `first_only`, at most the first. An
// empty Ref with no exception set means the native search does not apply to
// this tree, and the node's own method is to be called instead.
capi::Ref nodes_of_class(PyObject* node, PyObject* cls, bool first_only);

// node.args and node.parent, read through the data descriptors kept for the
// node's type when it was seen to search as the library does, else the
// general way.
capi::Ref args_of(PyObject* node);
capi::Ref parent_of(PyObject* node);

// node.<name>, `name` being one of the interned names, read likewise through
// the data descriptor the node's type resolves it to, when there is one.
capi::Ref attribute_of(PyObject* node, PyObject* name);

// The searches of one `test` call, on this thread's stack of calls. While
// the module's own functions are in place, only the module's code reads the
// tree until the call returns, and it never changes it. A select item is
// searched for subqueries, then for columns or function calls, and searched
// again for subqueries when the tables are walked: so a node searched for
// any of those three classes is walked once for all three, and every later
// search of it for one of them is answered from that walk.
class CallSearches {
public:
    CallSearches();
    ~CallSearches();
    CallSearches(const CallSearches&) = delete;
    CallSearches& operator=(const CallSearches&) = delete;

    // The searches of this thread's innermost `test` call, when they are
    // kept and no walk of theirs is under way; else null.
    static CallSearches* innermost();

    // Makes room for the walks of `count` nodes.
    void expect(Py_ssize_t count) {
        walks_.reserve(static_cast<size_t>(count));
        found_.reserve(static_cast<size_t>(count));
    }

    // As nodes_of_class(node, cls, false), from the walk made for the node.
    // Every search that finds nothing gives the same empty list: what the
    // module's code reads and never changes.
    capi::Ref nodes_of_class(PyObject* node, PyObject* cls);

private:
    static constexpr int class_count = 3;  // Subquery, Column, Anonymous
    // Where the nodes of each class found by one walk sit in `found_`.
    struct Walk {
        unsigned int first[class_count];
        unsigned int count[class_count];
    };

    // The classes to seek, as `exp` has them now, into `classes_`. When they
    // are other classes than those of the walks kept, those walks and the
    // class masks are forgotten. False when a class cannot be read without
    // running interpreter code (no exception set).
    bool read_classes();
    // A new list of the nodes found, or the shared empty one.
    capi::Ref found_list(Walk walk, int class_index);

    CallSearches* outer_;
    // Walks are kept while the module's own functions stay bound since the
    // call began: nothing rebound, even for a moment.
    bool kept_;
    module::watch::Unchanged since_start_;
    capi::Ref none_found_;
    // Set during a walk: a search nested in it (code the walk runs calling
    // the module) must not change what the walk reads and fills.
    bool walking_ = false;
    capi::Ref classes_[class_count];  // sought by every walk kept
    // Set while the classes were read from the watched dictionaries, at
    // this count of their changes.
    bool classes_kept_ = false;
    unsigned long long classes_read_at_ = 0;
    ObjectTable<Walk, IdentityKeys> walks_;  // by node
    std::vector<capi::Ref> found_;           // the nodes found, walk after walk
    std::vector<capi::Ref> spare_found_[class_count];  // kept for the next walk
    // Which of the classes sought the instances of each type seen are
    // instances of, bit by bit, for the types that alone decide it.
    TypeTable<unsigned int> masks_;
};

}  // namespace lineage::search
