/* Opcode to structure id, through the record name and a table built once. */
#include <stdint.h>
#include <stdio.h>

#include "hashtable.h"
#include "osk_runtime.h"
#include "strcnv.h"
#include "osk_banned.h"

/* Built without a lock on first use: the first socket call of the process
 * runs before a second thread makes one (as oskopen requires). */
static hashtable *struct_ids;

static hashtable *ids(void)
{
    if (struct_ids == NULL) {
        struct_ids = create_string_hashtable(next_prime(436), 0.75f);
        set_invalid_value(struct_ids, (void *)(intptr_t)-1);
        for (int i = 0; i < STRCNV_NTYPES; i++)
            (void)hashtable_put(struct_ids, strcnv_array[i], (void *)(intptr_t)i);
    }
    return struct_ids;
}

int strcnv_find_id(const char *name)
{
    return (int)(intptr_t)hashtable_get(ids(), name);
}

const char *mcall_struct_name(int opcode)
{
    for (const mcall_name *row = mcall_names; row->mn_opcode != -1; row++) {
        if (row->mn_opcode == opcode)
            return row->mn_name;
    }
    return NULL;
}

int get_op_id(int opcode)
{
    const char *name = mcall_struct_name(opcode);
    if (name == NULL) {
        fprintf(stderr, "Could not find structure name for opcode 0x%x\n", opcode);
        osk_death("get_op_id(): Could not find structure name for opcode 0x%x\n", opcode);
    }
    int id = strcnv_find_id(name);
    if (id < 0) {
        fprintf(stderr, "Could not find the struct id to match opcode %d: %s\n", opcode, name);
        fprintf(stderr, "Add the mcall structure to guistr.directives and rebuild\n");
        osk_death("get_op_id(): Could not find jstruct id for opcode 0x%x, name %s\n", opcode,
                  name);
    }
    return id;
}
