"""kalman_hot_loop's log-likelihood against the best of statsmodels' methods (default,
Chandrasekhar recursions, univariate processing), from a stationary start and from P0 = 10 I,
with both flag sets; a statsmodels method counts only where its log-likelihood agrees with ours.
dynamax's jitted filter (JAX on the CPU) joins where it is installed."""

from _timing import best_times, fmt_time, print_table  # first: pins BLAS threads

import numpy as np
from statsmodels.tsa.statespace.kalman_filter import KalmanFilter

from bench_linear import random_model
from Velmora._ckernels.kalman._kalman import kalman_hot_loop, stationary_covariance

CASES = ((10, 3, 3, 200), (30, 8, 8, 200), (100, 10, 10, 200), (100, 4, 4, 200))
FLAG_SETS = {"sym+Joseph": (True, True), "standard": (False, False)}
METHODS = {"default": {}, "chandrasekhar": {"filter_chandrasekhar": True},
           "univariate": {"filter_univariate": True}}
AGREE = 1e-8  # relative difference of log-likelihoods below which a method counts


def statsmodels_loglike(model, P0, options):
    A, B, C, d, Q, R, y = model
    m, n = C.shape
    kf = KalmanFilter(k_endog=m, k_states=n, k_posdef=B.shape[1])
    kf.bind(y.copy())
    kf["design"], kf["obs_intercept"], kf["obs_cov"] = C, d, R
    kf["transition"], kf["selection"], kf["state_cov"] = A, B, Q
    kf.initialize_known(np.zeros(n), P0)
    for name, value in options.items():
        setattr(kf, name, value)
    return kf.loglike


def dynamax_loglike(model, P0):
    """dynamax's jitted linear-Gaussian filter, or None where dynamax is not installed."""
    try:
        import jax
        import jax.numpy as jnp
        from dynamax.linear_gaussian_ssm import lgssm_filter
        from dynamax.linear_gaussian_ssm.inference import (ParamsLGSSM, ParamsLGSSMDynamics,
                                                           ParamsLGSSMEmissions,
                                                           ParamsLGSSMInitial)
    except ImportError:
        return None
    jax.config.update("jax_enable_x64", True)
    A, B, C, d, Q, R, y = model
    n, m = A.shape[0], C.shape[0]
    # dynamax's prior is that of the first state, as ours
    params = ParamsLGSSM(
        initial=ParamsLGSSMInitial(mean=jnp.zeros(n), cov=jnp.asarray(P0)),
        dynamics=ParamsLGSSMDynamics(weights=jnp.asarray(A), bias=jnp.zeros(n),
                                     input_weights=jnp.zeros((n, 0)),
                                     cov=jnp.asarray(B @ Q @ B.T)),
        emissions=ParamsLGSSMEmissions(weights=jnp.asarray(C), bias=jnp.asarray(d),
                                       input_weights=jnp.zeros((m, 0)), cov=jnp.asarray(R)))
    run = jax.jit(lambda ys: lgssm_filter(params, ys).marginal_loglik)
    ys = jnp.asarray(y)
    return lambda: float(run(ys).block_until_ready())


def main():
    rng = np.random.default_rng(20261208)
    rows, with_dynamax = [], False
    for case in CASES:
        n, m, k, T = case
        model = random_model(n, m, k, T, rng)[:7]  # the model's own P0 is replaced below
        A, B, C, d, Q, R, y = model
        status, P_stationary = stationary_covariance(A, B, Q)
        assert status == 0
        for start, P0 in (("stationary", P_stationary), ("10 I", 10.0 * np.eye(n))):
            peers = {name: statsmodels_loglike(model, P0, options)
                     for name, options in METHODS.items()}
            dynamax = dynamax_loglike(model, P0)
            for flags, (symmetrize, joseph) in FLAG_SETS.items():
                def ours():
                    return kalman_hot_loop(T, (n, m, k), A, B, C, d, Q, R, y, np.zeros(n), P0,
                                           symmetrize, joseph, 0.0, False, False)
                loglik = ours()[1][10]
                agreeing = {name: call for name, call in peers.items()
                            if abs(call() - loglik) <= AGREE * abs(loglik)}
                calls = {"ours": ours, **agreeing}
                if dynamax is not None:
                    with_dynamax = True
                    calls["dynamax"] = dynamax
                times = best_times(calls)
                best = min(agreeing, key=times.get) if agreeing else None
                row = [str(case).replace(" ", ""), start, flags, fmt_time(times["ours"]),
                       f"{best} {fmt_time(times[best])}" if best else "none agrees",
                       f"{times[best] / times['ours']:.2f}" if best else "-",
                       ",".join(sorted(set(peers) - set(agreeing))) or "-"]
                if with_dynamax:
                    row.append(f"{times['dynamax'] / times['ours']:.1f}")
                rows.append(row)
    header = ["(n,m,k,T)", "P0", "flags", "ours", "best agreeing sm", "sm/ours", "disagree"]
    if with_dynamax:
        header.append("dynamax/ours")
    print_table("log-likelihood only: ours vs statsmodels' best agreeing method "
                f"(agreement: relative difference <= {AGREE:g})", header, rows)
    if not with_dynamax:
        print("dynamax is not installed: pip install '.[bench,jax]' to add its jitted filter.")


if __name__ == "__main__":
    main()
