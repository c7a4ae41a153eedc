#ifndef VX_TESTING_H
#define VX_TESTING_H

// Hooks of the agent's library for its own test programs; plug-ins never use
// them. Forces the type the sink base constructor records (a negative value
// restores the real type), so that a host can exercise its refusal path.
void vx_testing_force_plugin_type(int type);

#endif
