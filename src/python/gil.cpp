#include "python/gil.hpp"

#include <pthread.h>

#include <atomic>
#include <thread>

#include "python/pyref.hpp"

namespace zembrik::py {

// One per module exec, never freed: a thread may still be inside native work
// when its interpreter is gone, and reads this when it is done.
struct ExitWatch {
  PyInterpreterState* interpreter;
  std::atomic<bool> exiting{false};
  // The thread that runs the interpreter's exit, which must go on.
  std::atomic<unsigned long> exiting_thread{0};
  // Threads between deciding to take the interpreter lock back and having it.
  std::atomic<int> retaking{0};
  ExitWatch* next = nullptr;
};

namespace {

// Newest first, so that an interpreter made where a finished one lived
// finds its own watch.
std::atomic<ExitWatch*> watches{nullptr};

// The thread that runs signal handlers: the main thread of the main
// interpreter, which a fork makes the forking thread.
std::atomic<unsigned long> main_thread{0};

const bool main_thread_follows_fork =
    pthread_atfork(nullptr, nullptr, [] {
      main_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
    }) == 0;

// The limited API has no PyInterpreterState_Main; the main interpreter is
// the one numbered 0.
bool is_main_interpreter() {
  return PyInterpreterState_GetID(PyInterpreterState_Get()) == 0;
}

ExitWatch* watch_of_current_interpreter() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  for (ExitWatch* w = watches.load(std::memory_order_acquire); w != nullptr; w = w->next) {
    if (w->interpreter == interpreter) return w;
  }
  return nullptr;
}

bool in_main_thread() {
  (void)main_thread_follows_fork;
  return is_main_interpreter() &&
         PyThread_get_thread_ident() == main_thread.load(std::memory_order_relaxed);
}

[[noreturn]] void park_for_good() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// The other half of PyEval_SaveThread. The count and the flag are read in
// opposite orders here and at exit (both sequentially consistent), so
// either the exit hook sees this thread coming and lets it through, or this
// thread sees the exit and parks.
void retake(PyThreadState* state, ExitWatch* watch) {
  if (watch == nullptr) return PyEval_RestoreThread(state);
  watch->retaking.fetch_add(1);
  if (watch->exiting.load() && PyThread_get_thread_ident() != watch->exiting_thread.load()) {
    watch->retaking.fetch_sub(1);
    park_for_good();
  }
  PyEval_RestoreThread(state);
  watch->retaking.fetch_sub(1);
}

// Runs among the interpreter's atexit callbacks: after its non-daemon
// threads are joined and before it starts ending the others. Threads already
// on their way back get the lock (and run on as daemon threads do); later
// ones park.
PyObject* on_interpreter_exit(PyObject* capsule, PyObject*) {
  auto* watch = static_cast<ExitWatch*>(PyCapsule_GetPointer(capsule, nullptr));
  if (watch == nullptr) return nullptr;
  watch->exiting_thread.store(PyThread_get_thread_ident());
  watch->exiting.store(true);
  while (watch->retaking.load() > 0) {
    Py_BEGIN_ALLOW_THREADS std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

PyMethodDef on_exit_def = {"_zembrik_core_at_exit", on_interpreter_exit, METH_NOARGS, nullptr};

// sys.getswitchinterval(), or CPython's default when it cannot be read.
double switch_interval() {
  constexpr double kDefault = 0.005;
  PyObject* get = PySys_GetObject("getswitchinterval");  // borrowed
  PyObject* value = get != nullptr ? PyObject_CallNoArgs(get) : nullptr;
  const double seconds = value != nullptr ? PyFloat_AsDouble(value) : kDefault;
  Py_XDECREF(value);
  if (PyErr_Occurred()) PyErr_Clear();
  return seconds > 0 ? seconds : kDefault;
}

// How often long work runs signal handlers: well inside the tenth of a
// second a person notices, and rare enough to cost nothing.
constexpr std::chrono::milliseconds kSignalCheckPeriod{20};

}  // namespace

int watch_interpreter_exit() {
  if (is_main_interpreter() && main_thread.load(std::memory_order_relaxed) == 0) {
    PyRef threading(PyImport_ImportModule("threading"));
    PyRef main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    PyRef ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    if (!ident) return -1;
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    main_thread.store(value, std::memory_order_relaxed);
  }
  auto* watch = new ExitWatch{};
  watch->interpreter = PyInterpreterState_Get();
  PyRef capsule(PyCapsule_New(watch, nullptr, nullptr));
  PyRef hook(capsule ? PyCFunction_NewEx(&on_exit_def, capsule.get(), nullptr) : nullptr);
  PyRef atexit(hook ? PyImport_ImportModule("atexit") : nullptr);
  PyRef registered(atexit ? PyObject_CallMethod(atexit.get(), "register", "O", hook.get())
                          : nullptr);
  if (!registered) {
    delete watch;  // not yet reachable by any other thread
    return -1;
  }
  watch->next = watches.load(std::memory_order_relaxed);
  while (!watches.compare_exchange_weak(watch->next, watch, std::memory_order_release,
                                        std::memory_order_relaxed)) {
  }
  return 0;
}

ReleasedGil::ReleasedGil()
    : watch_(watch_of_current_interpreter()),
      state_(nullptr),
      main_thread_(in_main_thread()),
      last_check_(Clock::now()),
      installed_(*this) {
  state_ = PyEval_SaveThread();
}

ReleasedGil::~ReleasedGil() {
  retake(state_, watch_);
}

void ReleasedGil::check() {
  if (!main_thread_) return;
  const Clock::time_point now = Clock::now();
  if (now - last_check_ < kSignalCheckPeriod) return;
  retake(state_, watch_);
  const bool raised = PyErr_CheckSignals() < 0;
  state_ = PyEval_SaveThread();
  last_check_ = Clock::now();
  if (raised) throw Interrupted();
}

GilHandover::GilHandover()
    : watch_(watch_of_current_interpreter()),
      period_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(2 * switch_interval()))),
      last_(Clock::now()) {}

bool GilHandover::poll_now() {
  if (Clock::now() - last_ < period_) return true;
  retake(PyEval_SaveThread(), watch_);
  last_ = Clock::now();
  return PyErr_CheckSignals() == 0;
}

}  // namespace zembrik::py
