// The calling thread's command context.
#include "command_context.h"

namespace {

thread_local const CommandContext *t_context = nullptr;

}  // namespace

const CommandContext &CurrentContext()
{
    static const CommandContext plain;
    return t_context != nullptr ? *t_context : plain;
}

bool CurrentCommandCancelled()
{
    const CommandContext &context = CurrentContext();
    return context.cancelled != nullptr && *context.cancelled;
}

UseContext::UseContext(const CommandContext &context) : previous_(t_context) { t_context = &context; }

UseContext::~UseContext() { t_context = previous_; }
