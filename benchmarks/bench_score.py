"""kalman_loglik_grad: cost of the log-likelihood with its gradient against the log-likelihood
alone, and against statsmodels' numerical score (MLEModel.score) of the same model."""

from _timing import best_time, best_times, fmt_time, print_table  # first: pins BLAS threads

import numpy as np
from scipy.linalg import solve_discrete_lyapunov
from statsmodels.tsa.statespace.mlemodel import MLEModel

from Velmora._ckernels.kalman._kalman import (kalman_hot_loop, kalman_loglik_grad,
                                              kalman_loglik_grad_stationary,
                                              stationary_covariance, stationary_covariance_grad)
from Velmora.demo import load_nile

SYMMETRIZE, JITTER = True, 0.0


class Parametrised:
    """A linear state-space model whose parameters are the cells of A picked by `free_A`, then
    the log-variances on the diagonals of Q and R; everything else is fixed."""

    def __init__(self, name, A, B, C, d, Q, R, y, x0, P0, free_A):
        self.name, self.y, self.free_A = name, y, free_A
        self.A, self.B, self.C, self.d, self.x0, self.P0 = A, B, C, d, x0, P0
        self.start = np.concatenate([A[free_A], np.log(np.diag(Q)), np.log(np.diag(R))])
        self.n, self.m, self.k = A.shape[0], C.shape[0], B.shape[1]

    def matrices(self, params):
        n_a = int(self.free_A.sum())
        A = self.A.astype(params.dtype)  # complex under statsmodels' complex-step score
        A[self.free_A] = params[:n_a]
        Q = np.diag(np.exp(params[n_a:n_a + self.k]))
        R = np.diag(np.exp(params[n_a + self.k:]))
        return A, Q, R

    def args(self, params):
        A, Q, R = self.matrices(params)
        return (len(self.y), (self.n, self.m, self.k), A, self.B, self.C, self.d, Q, R, self.y,
                self.x0, self.P0, SYMMETRIZE)

    def loglik(self, params, joseph=False):
        return kalman_hot_loop(*self.args(params), joseph, JITTER, False, False)[1][10]

    def loglik_grad(self, params, joseph=False):
        return kalman_loglik_grad(*self.args(params), joseph, JITTER)

    def score(self, params, joseph=False):
        """The gradient with respect to params, by the chain rule from the matrix gradients."""
        status, _, grads = self.loglik_grad(params, joseph)
        assert status == 0, status
        _, Q, R = self.matrices(params)
        A_bar, Q_bar, R_bar = grads[0], grads[4], grads[5]
        return np.concatenate([A_bar[self.free_A], np.diag(Q_bar) * np.diag(Q),
                               np.diag(R_bar) * np.diag(R)])


class StatsmodelsTwin(MLEModel):
    """The same parametrisation in statsmodels, known prior, full recursion (no steady state)."""

    def __init__(self, model):
        super().__init__(model.y, k_states=model.n, k_posdef=model.k, initialization="known",
                         initial_state=model.x0, initial_state_cov=model.P0)
        self.model = model
        self["design"], self["obs_intercept"], self["selection"] = model.C, model.d, model.B
        self.ssm.tolerance = 0.0

    @property
    def start_params(self):
        return self.model.start

    def update(self, params, **kwargs):
        params = super().update(params, **kwargs)
        self["transition"], self["state_cov"], self["obs_cov"] = self.model.matrices(params)


def nile_local_level():
    flow = load_nile()[1]
    one, var = np.ones((1, 1)), np.var(np.diff(flow)) / 2
    return Parametrised("Nile local level", one, one, one, np.zeros(1), var * one, var * one,
                        flow[:, None], flow[:1], 1e7 * one, np.zeros((1, 1), bool))


def ar2_plus_noise(rng, T=500):
    phi, sigma2, noise = (1.2, -0.35), 1.0, 0.2
    A = np.array([[phi[0], phi[1]], [1.0, 0.0]])
    B, C = np.array([[1.0], [0.0]]), np.array([[1.0, 0.0]])
    P0 = solve_discrete_lyapunov(A, sigma2 * B @ B.T)
    x, y = np.zeros(2), np.empty((T, 1))
    for t in range(T):
        y[t] = C @ x + np.sqrt(noise) * rng.standard_normal()
        x = A @ x + B[:, 0] * np.sqrt(sigma2) * rng.standard_normal()
    free = np.zeros((2, 2), bool)
    free[0] = True
    return Parametrised("AR(2) + noise", A, B, C, np.zeros(1), sigma2 * np.eye(1),
                        noise * np.eye(1), y, np.zeros(2), 0.5 * (P0 + P0.T), free)


def random_state_space(rng, n, m, k, free_A, T=200):
    A = rng.standard_normal((n, n))
    A *= 0.9 / np.max(np.abs(np.linalg.eigvals(A)))
    B = rng.standard_normal((n, k)) / np.sqrt(k)
    C = rng.standard_normal((m, n)) / np.sqrt(n)
    Q, R = np.diag(rng.uniform(0.5, 1.5, k)), np.diag(rng.uniform(0.1, 0.5, m))
    P0 = solve_discrete_lyapunov(A, B @ Q @ B.T)
    x, y = np.zeros(n), np.empty((T, m))
    for t in range(T):
        y[t] = C @ x + rng.multivariate_normal(np.zeros(m), R)
        x = A @ x + B @ rng.multivariate_normal(np.zeros(k), Q)
    return Parametrised(f"state space n={n}", A, B, C, np.zeros(m), Q, R, y, np.zeros(n),
                        0.5 * (P0 + P0.T), free_A)


def stationary_start_table(rng):
    """The gradient from the stationary start against the log-likelihood alone, the start given
    (the entries alone) and solved for as a fit must (stationary_covariance in every column)."""
    rows = []
    for n, m, k in [(10, 3, 3), (30, 8, 8), (100, 10, 10), (100, 4, 4)]:
        model = random_state_space(rng, n, m, k, np.zeros((n, n), bool))
        A, B, Q = model.A, model.B, np.diag(np.exp(model.start[:k]))
        R = np.diag(np.exp(model.start[k:]))
        for flags in [(True, True), (False, False)]:
            def args():
                status, P0 = stationary_covariance(A, B, Q)
                return (len(model.y), (n, m, k), A, B, model.C, model.d, Q, R, model.y,
                        model.x0, P0, *flags, JITTER)

            fixed = args()

            def chained():
                status, _, g = kalman_loglik_grad(*args())
                return stationary_covariance_grad(A, B, Q, g[7])

            t = best_times({
                "P0": lambda: stationary_covariance(A, B, Q),
                "loglik": lambda: kalman_hot_loop(*fixed, False, False),
                "grad": lambda: kalman_loglik_grad_stationary(*fixed),
                "partial": lambda: kalman_loglik_grad(*fixed),
                "fit loglik": lambda: kalman_hot_loop(*args(), False, False),
                "fit grad": lambda: kalman_loglik_grad_stationary(*args()),
                "chained": chained})
            rows.append([f"({n},{m},{k},{len(model.y)})", "sym+Joseph" if flags[0] else "standard",
                         fmt_time(t["loglik"]), fmt_time(t["grad"]),
                         f"{t['grad'] / t['loglik']:.2f}",
                         f"{t['partial'] / t['loglik']:.2f}",
                         f"{t['fit grad'] / t['fit loglik']:.2f}",
                         f"{t['chained'] / t['fit grad']:.1f}"])
    print_table("kalman_loglik_grad_stationary (total gradient through the stationary start) vs "
                "the log-likelihood alone",
                ["(n,m,k,T)", "flags", "loglik", "+grad", "ratio", "P0 fixed", "with P0",
                 "chained/ours"],
                rows)
    print("loglik: kalman_hot_loop from P0 = stationary_covariance(A, B, Q), without histories;"
          " +grad:\nkalman_loglik_grad_stationary; ratio: +grad / loglik; P0 fixed: "
          "kalman_loglik_grad (P0 held\nfixed, no derivative through it) / loglik; with P0: "
          "the ratio of +grad with\nstationary_covariance solved in both, as every step of a "
          "fit does; chained/ours:\nkalman_loglik_grad plus stationary_covariance_grad (P0 "
          "solved) against\nkalman_loglik_grad_stationary (P0 solved).")


# statsmodels' numerical scores: complex step (its default), central and forward differences
SM_SCORES = {"complex step": {}, "central": dict(approx_complex_step=False, approx_centered=True),
             "forward": dict(approx_complex_step=False)}
AGREEMENT = 1e-7  # largest |difference| / largest |score| for a score to count as the same


def fastest_agreeing_score(twin, p, ours):
    """statsmodels' fastest score that agrees with ours: (name, seconds, relative difference);
    also the fastest of all, agreeing or not, as (name, seconds)."""
    timed = []
    for name, options in SM_SCORES.items():
        theirs = twin.score(p, **options)
        diff = np.max(np.abs(ours - theirs)) / np.max(np.abs(theirs))
        timed.append((best_time(lambda: twin.score(p, **options), repeats=3), name, diff))
    agreeing = min(entry for entry in timed if entry[2] <= AGREEMENT)
    fastest = min(timed)
    return (agreeing[1], agreeing[0], agreeing[2]), (fastest[1], fastest[0])


def main():
    rng = np.random.default_rng(20261208)
    # every cell of A free for n = 10, its diagonal for n = 30 (statsmodels needs one complex
    # filter pass per parameter)
    models = [nile_local_level(), ar2_plus_noise(rng),
              random_state_space(rng, 10, 3, 3, np.ones((10, 10), bool)),
              random_state_space(rng, 30, 8, 8, np.eye(30, dtype=bool))]
    rows = []
    for model in models:
        p = model.start
        twin = StatsmodelsTwin(model)
        assert np.isclose(twin.loglike(p), model.loglik(p), rtol=1e-9)
        t_loglik = best_time(lambda: model.loglik(p))
        t_grad = best_time(lambda: model.loglik_grad(p))
        t_loglik_j = best_time(lambda: model.loglik(p, True))
        t_grad_j = best_time(lambda: model.loglik_grad(p, True))
        t_score = best_time(lambda: model.score(p))
        (name, t_sm, diff), (fastest, t_fastest) = fastest_agreeing_score(twin, p, model.score(p))
        rows.append([model.name, f"({model.n},{model.m},{model.k},{len(model.y)})", p.size,
                     fmt_time(t_loglik), fmt_time(t_grad), f"{t_grad / t_loglik:.2f}",
                     f"{t_grad_j / t_loglik_j:.2f}", fmt_time(t_score), name, fmt_time(t_sm),
                     f"{t_sm / t_score:.1f}", f"{diff:.1e}", f"{t_fastest / t_score:.1f} ({fastest})"])
    print_table("log-likelihood and gradient (symmetrised, jitter 0) vs log-likelihood alone and "
                "vs statsmodels' fastest agreeing MLEModel.score",
                ["model", "(n,m,k,T)", "params", "loglik", "+grad", "ratio", "Joseph",
                 "score", "sm method", "sm score", "sm/score", "rel diff", "any sm/score"], rows)
    print("loglik: kalman_hot_loop without histories; +grad: kalman_loglik_grad; ratio: +grad / "
          "loglik\n(standard form); Joseph: the same ratio in Joseph form; score: +grad and "
          "the chain rule to\nthe parameters; sm score: the fastest of statsmodels' complex-step, "
          "central- and forward-\ndifference scores of the same parametrisation whose largest "
          f"difference from ours is within\n{AGREEMENT:g} of its largest entry (rel diff); any "
          "sm/score: the fastest of them, agreeing or not.")
    stationary_start_table(rng)


if __name__ == "__main__":
    main()
