/* A vm_act_rsp with a nested list, through the C interface: built, encoded,
 * decoded, printed, written as XML and read back, compared, destroyed.  It
 * prints what roundtrip.cpp prints.
 *
 * Every call takes the handle, a context id of ours (1) and the error word
 * last.  A failing call stores its error number there and every later call
 * given the word does nothing, so each group of steps needs one check. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <drov_def/drov_def.h>
#include <drov_def/runtime.h>

static int failed(const char *step, uint32_t err) {
    fprintf(stderr, "roundtrip: %s: %s (%u)\n", step, drov_def_strerror(err), err);
    return 1;
}

int main(void) {
    qel_handle_t *h = drov_def_runtime_new(); /* no state tracking, newest variants, malloc */
    uint32_t err = 0, size = 0, n = 0, used = 0, ifh = 0x1a2b;
    vm_act_rsp_t *rsp = NULL, *back = NULL, *again = NULL;
    vm_nic_list_t *nic = NULL;
    vm_nic_info_t *info = NULL;
    uint8_t *buf = NULL;
    void *doc = NULL;
    char text[4096];
    int rc = 1;

    if (h == NULL) return failed("handle", DROV_DEF_ENOMEM);

    /* Build.  A null from create shows up as 22 at the first setter. */
    rsp = vm_act_rsp_create(h, 1);
    vm_act_rsp_vm_name_set(h, 1, rsp, "web01", 5, &err); /* the library keeps a copy */
    vm_act_rsp_rc_set_value(h, 1, rsp, VM_RSP_RC_OK, &err);
    vm_act_rsp_vm_uid_set_value(h, 1, rsp, 77, &err);
    vm_act_rsp_owner_set(h, 1, rsp, "ops", 3, &err);
    nic = vm_nic_list_create(h, 1);
    vm_nic_list_if_handle_set(h, 1, nic, &ifh, &err);
    info = vm_nic_list_vm_nic_info_get(h, 1, nic, &err); /* a nested record: part of nic */
    vm_nic_info_vm_if_state_set_value(h, 1, info, VM_IF_UP, &err);
    vm_nic_info_mtu_set_value(h, 1, info, 1500, &err);
    vm_nic_rsp_vm_if_info_set_last(h, 1, vm_act_rsp_vm_if_rsp_get(h, 1, rsp, &err), nic, &err);
    if (err != 0) { failed("build", err); goto out; }
    nic = NULL; /* the list owns it now: destroying rsp destroys it */

    /* Encode into len() + 1 bytes, decode into a fresh instance (update flag
     * 0).  A count beyond the bytes given would be a message cut short. */
    size = vm_act_rsp_len(h, 1, rsp) + 1;
    buf = malloc(size);
    n = vm_act_rsp_marshal(h, 1, buf, rsp, (int32_t)size, &err);
    back = vm_act_rsp_create(h, 1);
    used = vm_act_rsp_unmarshal(h, 1, buf, back, (int32_t)n, 0, &err);
    if (err == 0 && used > n) err = DROV_DEF_EMSGSIZE;
    if (err != 0) { failed("encode and decode", err); goto out; }

    /* Text is cut to the buffer (28) when it does not fit. */
    vm_act_rsp_print(h, 1, text, 0, "vm_act_rsp", back, sizeof text, &err);
    if (err != 0) { failed("print", err); goto out; }
    printf("%u bytes\n%s", n, text);

    /* XML out, and back in through a document the runtime parses. */
    vm_act_rsp_to_xml(h, 1, "vm_act_rsp", text, back, sizeof text, 0, &err);
    if (err == 0) err = drov_def_runtime_xml_read(text, strlen(text), &doc);
    again = vm_act_rsp_create(h, 1);
    vm_act_rsp_from_xml(h, 1, "/vm_act_rsp", doc, again, &err, NULL, 0);
    if (err != 0) { failed("XML", err); goto out; }

    /* compare looks at every field of every variant. */
    rc = vm_act_rsp_compare(back, rsp) == 0 && vm_act_rsp_compare(again, rsp) == 0 ? 0 : 1;
    printf("%s\n%s\n", text, rc == 0 ? "equal" : "different");

out:
    drov_def_runtime_xml_free(doc);
    free(buf);
    vm_nic_list_destroy(h, 1, nic); /* each destroy ignores null */
    vm_act_rsp_destroy(h, 1, again);
    vm_act_rsp_destroy(h, 1, back);
    vm_act_rsp_destroy(h, 1, rsp);
    drov_def_runtime_free(h);
    return rc;
}
