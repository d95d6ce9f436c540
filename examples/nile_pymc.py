"""Posterior of the Nile local-level variances by NUTS, with the native score inside a PyTensor Op.

Run ``python examples/nile_pymc.py`` (needs ``pip install pymc``). The Op returns the exact
diffuse log-likelihood of ``nile_lbfgs.loglik_and_grad`` and, as its gradient, the one the
native filter computes alongside it, so the sampler needs no finite differences. The priors
on the log-variances are wide normals.
"""

import numpy as np
import pymc as pm
import pytensor.tensor as pt
from pytensor.gradient import DisconnectedType
from pytensor.graph.basic import Apply
from pytensor.graph.op import Op

from nile_lbfgs import loglik_and_grad
from Velmora.demo import PUBLISHED, load_nile


class NileLoglik(Op):
    """log_vars -> (loglik, d loglik / d log_vars); only the first output is differentiated,
    through the second."""

    def __init__(self, flow):
        self.flow = np.asarray(flow, dtype=float)

    def make_node(self, log_vars):
        log_vars = pt.as_tensor_variable(log_vars)
        return Apply(self, [log_vars], [pt.dscalar(), pt.dvector()])

    def perform(self, node, inputs, outputs):
        loglik, grad = loglik_and_grad(inputs[0], self.flow)
        outputs[0][0] = np.asarray(loglik)
        outputs[1][0] = grad

    def grad(self, inputs, output_grads):
        if isinstance(output_grads[1].type, DisconnectedType):
            return [output_grads[0] * self(inputs[0])[1]]
        raise NotImplementedError("the gradient output is not differentiated")


def build_model(flow):
    nile_loglik = NileLoglik(flow)
    with pm.Model() as model:
        log_vars = pm.Normal("log_vars", mu=8.0, sigma=5.0, shape=2)
        pm.Deterministic("variances", pt.exp(log_vars))
        pm.Potential("loglik", nile_loglik(log_vars)[0])
    return model


def main():
    with build_model(load_nile()[1]):
        mode = pm.find_MAP(progressbar=False)
        trace = pm.sample(draws=1000, tune=1000, chains=2, cores=1, random_seed=1871,
                          progressbar=False)
    obs_var, level_var = mode["variances"]
    mean = trace.posterior["variances"].mean(("chain", "draw")).values
    print(f"{'':24s}{'mode':>10s}{'mean':>10s}{'published':>12s}")
    print(f"{'observation variance':24s}{obs_var:10.1f}{mean[0]:10.1f}"
          f"{PUBLISHED['obs_var']:12.1f}")
    print(f"{'level variance':24s}{level_var:10.1f}{mean[1]:10.1f}"
          f"{PUBLISHED['level_var']:12.1f}")


if __name__ == "__main__":
    main()
