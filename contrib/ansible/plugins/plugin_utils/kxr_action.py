# -*- coding: utf-8 -*-
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# The action of every kxr.device module: it runs the module on the controller
# with the options a task leaves out taken from the host's inventory
# variables, and controller paths taken from the playbook's directory.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import os

from ansible.plugins.action import ActionBase

INVENTORY_VARIABLES = (('url', 'kxr_url'), ('user', 'kxr_user'), ('password', 'kxr_password'),
                       ('validate_certs', 'kxr_validate_certs'), ('ca_path', 'kxr_ca_path'))
CONTROLLER_PATHS = ('path', 'dictionary')


class KxrAction(ActionBase):

    def run(self, tmp=None, task_vars=None):
        task_vars = task_vars or {}
        result = super(KxrAction, self).run(tmp, task_vars)
        if self._connection.transport not in ('local', 'ansible.builtin.local'):
            result.update(failed=True, msg='kxr.device modules run on the controller: give the task or play '
                                           'connection: local (the device needs nothing installed)')
            return result
        args = dict(self._task.args)
        for option, variable in INVENTORY_VARIABLES:
            if args.get(option) is None and variable in task_vars:
                args[option] = self._templar.template(task_vars[variable])
        for option in CONTROLLER_PATHS:
            if isinstance(args.get(option), str) and not os.path.isabs(os.path.expanduser(args[option])):
                args[option] = os.path.join(self._loader.get_basedir(), args[option])
        result.update(self._execute_module(module_name=self._task.resolved_action, module_args=args,
                                           task_vars=task_vars))
        return result
